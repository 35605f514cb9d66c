// Segment, SpanMap and SpanMapBuilder.
#include <limits>

#include "python/span_types.hpp"
#include "span/builder.hpp"
#include "span/mapping.hpp"
#include "span/span_map.hpp"
#include "span/span_text.hpp"
#include "text/debug_string.hpp"

namespace kestrix::py {

// The value behind a SpanMapBuilder instance.
struct PyBuilder {
  Builder b;
  bool consumed = false;
};

namespace {

// ---- Segment -------------------------------------------------------------------------------

PyObject* segment_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Segment& s = unbox<Segment>(self);
    std::string r = "Segment(kind=\"";
    r += kind_name(s.kind);
    r += "\", src=" + std::to_string(s.src.byte_start) + ".." + std::to_string(s.src.byte_end) +
         ", dst=" + std::to_string(s.dst.byte_start) + ".." + std::to_string(s.dst.byte_end) + ")";
    return new_str(r);
  });
}

PyObject* segment_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("to_json", args, kwargs, {}, 0, nullptr);
    std::string out;
    write_json(out, unbox<Segment>(self));
    return new_str(out);
  });
}

PyMethodDef segment_methods[] = {
    {"to_json", KX_METH(segment_to_json), METH_VARARGS | METH_KEYWORDS,
     "to_json($self)\n--\n\n세그먼트를 JSON 문자열로 낸다."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef segment_getset[] = {
    {"src", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return make(T_Span, unbox<Segment>(self).src); });
     }, nullptr, const_cast<char*>("입력(원문) 쪽 구간."), nullptr},
    {"dst", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return make(T_Span, unbox<Segment>(self).dst); });
     }, nullptr, const_cast<char*>("출력(정규화문) 쪽 구간."), nullptr},
    {"kind", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return new_str(kind_name(unbox<Segment>(self).kind)); });
     }, nullptr,
     const_cast<char*>(
         "`\"identity\"`, `\"replace\"`, `\"delete\"`, `\"expand\"`, `\"insert\"` 중 하나."),
     nullptr},
    {"rules", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return new_str_list(unbox<Segment>(self).rules); });
     }, nullptr, const_cast<char*>("이 구간을 만든 규칙들. 이름 오름차순이고 항등 구간은 비어 있다."),
     nullptr},
    {"cost", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return make(T_NormalizationCost, unbox<Segment>(self).cost); });
     }, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("정규화 한 조각. 연속한 항등 구간은 하나로 접혀 있다.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Segment>)},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_methods, segment_methods},
    {Py_tp_getset, segment_getset},
    {0, nullptr},
};

// ---- SpanMap -------------------------------------------------------------------------------

PyObject* end_tuple(std::pair<std::uint32_t, std::uint32_t> e) {
  Ref b = Ref::steal(new_u64(e.first));
  Ref c = Ref::steal(new_u64(e.second));
  return check(PyTuple_Pack(2, b.get(), c.get()));
}

PyObject* span_map_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    SharedBorrow<SpanMap> m(self);
    return new_str("SpanMap(segments=" + std::to_string(m.value().segments.size()) +
                   ", src_bytes=" + std::to_string(src_end(m.value()).first) +
                   ", dst_bytes=" + std::to_string(dst_end(m.value()).first) + ")");
  });
}

Py_ssize_t span_map_len(PyObject* self) {
  return static_cast<Py_ssize_t>(unbox<SpanMap>(self).segments.size());
}

PyObject* span_map_is_identity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("is_identity", args, kwargs, {}, 0, nullptr);
    SharedBorrow<SpanMap> m(self);
    return new_bool(is_identity(m.value()));
  });
}

PyObject* span_map_validate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("validate", args, kwargs, {}, 0, nullptr);
    SharedBorrow<SpanMap> m(self);
    auto r = validate(m.value());
    if (!r) throw_core(r.error());
    return none();
  });
}

PyObject* span_map_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("to_json", args, kwargs, {}, 0, nullptr);
    SharedBorrow<SpanMap> m(self);
    std::string out;
    write_json(out, m.value());
    return new_str(out);
  });
}

PyObject* span_map_identity(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("identity", args, kwargs, {"text"}, 1, a);
    std::string_view text = to_string_view(a[0], "text");
    return make(T_SpanMap, identity(text));
  });
}

PyObject* span_map_compose(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    bind("compose", args, kwargs, {"inner", "outer"}, 2, a);
    expect_instance(a[0], T_SpanMap, "inner");
    expect_instance(a[1], T_SpanMap, "outer");
    SharedBorrow<SpanMap> inner(a[0]);
    SharedBorrow<SpanMap> outer(a[1]);
    auto r = compose(inner.value(), outer.value());
    if (!r) throw_core(r.error());
    return make(T_SpanMap, std::move(*r));
  });
}

PyObject* span_map_to_source(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("to_source", args, kwargs, {"dst"}, 1, a);
    expect_instance(a[0], T_Span, "dst");
    Span dst = unbox<Span>(a[0]);
    SharedBorrow<SpanMap> m(self);
    return make(T_SourceSpan, to_source(m.value(), dst));
  });
}

PyObject* span_map_to_source_from_chars(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    bind("to_source_from_chars", args, kwargs, {"normalized", "char_start", "char_end"}, 3, a);
    std::string_view text = to_string_view(a[0], "normalized");
    std::uint32_t cs = to_u32(a[1], "char_start");
    std::uint32_t ce = to_u32(a[2], "char_end");
    auto span = span_from_char_range(text, cs, ce);
    if (!span) throw_value_error(span.error());
    SharedBorrow<SpanMap> m(self);
    return make(T_SourceSpan, to_source(m.value(), *span));
  });
}

PyMethodDef span_map_methods[] = {
    {"is_identity", KX_METH(span_map_is_identity), METH_VARARGS | METH_KEYWORDS,
     "is_identity($self)\n--\n\n변환이 하나도 없는가."},
    {"validate", KX_METH(span_map_validate), METH_VARARGS | METH_KEYWORDS,
     "validate($self)\n--\n\n불변식 검사. 깨졌으면 `SpanMapError` 를 낸다."},
    {"to_json", KX_METH(span_map_to_json), METH_VARARGS | METH_KEYWORDS,
     "to_json($self)\n--\n\n테이블 전체를 JSON 문자열로 낸다."},
    {"identity", KX_METH(span_map_identity), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "identity(text)\n--\n\n변환이 전혀 없는 항등 매핑."},
    {"compose", KX_METH(span_map_compose), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "compose(inner, outer)\n--\n\n두 매핑을 하나로 합친다. `inner` 가 A→B, `outer` 가 B→C 면 "
     "결과는 A→C 다.\n\n`inner` 의 출력 좌표계와 `outer` 의 입력 좌표계가 다르면 `SpanMapError` "
     "를 낸다."},
    {"to_source", KX_METH(span_map_to_source), METH_VARARGS | METH_KEYWORDS,
     "to_source($self, dst)\n--\n\n정규화문 구간을 원문 구간으로 되돌린다."},
    {"to_source_from_chars", KX_METH(span_map_to_source_from_chars), METH_VARARGS | METH_KEYWORDS,
     "to_source_from_chars($self, normalized, char_start, char_end)\n--\n\n문자 좌표만으로 "
     "되돌린다. 정규화문을 함께 넘겨 바이트 좌표를 채운다.\n\n"
     "`to_source(Span.from_char_range(normalized, start, end))` 의 축약이다."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef span_map_getset[] = {
    {"segments", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* {
         SharedBorrow<SpanMap> m(self);
         return new_box_list<Segment>(T_Segment, m.value().segments);
       });
     }, nullptr, const_cast<char*>("세그먼트 목록."), nullptr},
    {"src_end", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return end_tuple(src_end(unbox<SpanMap>(self))); });
     }, nullptr, const_cast<char*>("원문 끝 좌표 `(byte, char)`."), nullptr},
    {"dst_end", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return end_tuple(dst_end(unbox<SpanMap>(self))); });
     }, nullptr, const_cast<char*>("정규화문 끝 좌표 `(byte, char)`."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot span_map_slots[] = {
    {Py_tp_doc, const_cast<char*>("원문과 정규화문을 잇는 단조 구간 정렬 테이블.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SpanMap>)},
    {Py_tp_repr, reinterpret_cast<void*>(span_map_repr)},
    {Py_sq_length, reinterpret_cast<void*>(span_map_len)},
    {Py_tp_methods, span_map_methods},
    {Py_tp_getset, span_map_getset},
    {0, nullptr},
};

// ---- SpanMapBuilder ------------------------------------------------------------------------

constexpr const char* kConsumed = "this builder was already consumed by finish()";

// Cursors are 32-bit: refuse a piece that would carry one past the end instead of wrapping
// into a map whose coordinates no longer describe the text.
void check_room(const Builder& b, std::size_t src_bytes, std::size_t dst_bytes) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (src_bytes > kMax - b.sb || dst_bytes > kMax - b.db)
    throw_overflow_error("span map offsets would pass 4294967295 bytes");
}

PyObject* builder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("SpanMapBuilder", args, kwargs, {"text"}, 0, a);
    PyBuilder pb;
    if (a[0]) reserve(pb.b, to_string_view(a[0], "text").size());
    return make(T_SpanMapBuilder, std::move(pb));
  });
}

PyObject* builder_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    return new_str(unbox<PyBuilder>(self).consumed ? "SpanMapBuilder(consumed)"
                                                   : "SpanMapBuilder(active)");
  });
}

PyObject* builder_keep(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("keep", args, kwargs, {"text"}, 1, a);
    std::string_view text = to_string_view(a[0], "text");
    ExclusiveBorrow<PyBuilder> pb(self);
    if (pb.value().consumed) throw_runtime_error(kConsumed);
    check_room(pb.value().b, text.size(), text.size());
    keep(pb.value().b, text);
    return none();
  });
}

// replace and numeral share everything but the core operation.
template <void (*Op)(Builder&, std::string_view, std::string_view, std::string_view)>
PyObject* builder_rewrite(const char* name, PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    bind(name, args, kwargs, {"src_text", "dst_text", "rule"}, 3, a);
    std::string_view src = to_string_view(a[0], "src_text");
    std::string_view dst = to_string_view(a[1], "dst_text");
    std::string_view rule = to_string_view(a[2], "rule");
    rule = intern_rule(rule);
    ExclusiveBorrow<PyBuilder> pb(self);
    if (pb.value().consumed) throw_runtime_error(kConsumed);
    check_room(pb.value().b, src.size(), src.empty() ? 0 : dst.size());
    Op(pb.value().b, src, dst, rule);
    return none();
  });
}

PyObject* builder_replace(PyObject* self, PyObject* args, PyObject* kwargs) {
  return builder_rewrite<replace>("replace", self, args, kwargs);
}

PyObject* builder_numeral(PyObject* self, PyObject* args, PyObject* kwargs) {
  return builder_rewrite<numeral>("numeral", self, args, kwargs);
}

PyObject* builder_absorb(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    bind("absorb", args, kwargs, {"src_text", "rule", "class_"}, 2, a);
    std::string_view src = to_string_view(a[0], "src_text");
    std::string_view rule = to_string_view(a[1], "rule");
    std::string_view cls_name = a[2] ? to_string_view(a[2], "class_") : "separator";
    AbsorbClass cls;
    if (cls_name == "whitespace")
      cls = AbsorbClass::whitespace;
    else if (cls_name == "separator")
      cls = AbsorbClass::separator;
    else if (cls_name == "other")
      cls = AbsorbClass::other;
    else
      throw_value_error("unknown absorbed class " + debug_string(cls_name) +
                        "; expected 'whitespace', 'separator', or 'other'");
    rule = intern_rule(rule);
    ExclusiveBorrow<PyBuilder> pb(self);
    if (pb.value().consumed) throw_runtime_error(kConsumed);
    check_room(pb.value().b, src.size(), 0);
    absorb(pb.value().b, src, rule, cls);
    return none();
  });
}

PyObject* builder_finish(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("finish", args, kwargs, {}, 0, nullptr);
    ExclusiveBorrow<PyBuilder> pb(self);
    if (pb.value().consumed) throw_runtime_error(kConsumed);
    // Create every Python object first: once finish() has run the builder cannot go back,
    // so nothing may fail after it.
    Ref text = Ref::steal(new_str(pb.value().b.out));
    Ref map = Ref::steal(make(T_SpanMap, SpanMap{}));
    Ref tuple = Ref::steal(check(PyTuple_Pack(2, text.get(), map.get())));
    unbox<SpanMap>(map.get()) = finish(pb.value().b).second;
    pb.value().consumed = true;
    return tuple.release();
  });
}

PyMethodDef builder_methods[] = {
    {"keep", KX_METH(builder_keep), METH_VARARGS | METH_KEYWORDS,
     "keep($self, text)\n--\n\n원문 조각을 그대로 통과시킨다. 연속 호출은 하나의 항등 세그먼트로 "
     "접힌다."},
    {"replace", KX_METH(builder_replace), METH_VARARGS | METH_KEYWORDS,
     "replace($self, src_text, dst_text, rule)\n--\n\n문자 폴딩. 전각을 반각으로 바꾸거나 "
     "유사문자를 교정할 때 쓴다."},
    {"numeral", KX_METH(builder_numeral), METH_VARARGS | METH_KEYWORDS,
     "numeral($self, src_text, dst_text, rule)\n--\n\n한글 수사 역변환. `팔팔공일공일` 을 "
     "`880101` 로 옮길 때 쓴다."},
    {"absorb", KX_METH(builder_absorb), METH_VARARGS | METH_KEYWORDS,
     "absorb($self, src_text, rule, class_=\"separator\")\n--\n\n원문 조각을 흡수(삭제)한다.\n\n"
     "`class_` 는 `\"whitespace\"`, `\"separator\"`, `\"other\"` 중 하나다. 종류마다 신뢰도\n"
     "감점 계수가 다르므로 정확히 골라야 한다."},
    {"finish", KX_METH(builder_finish), METH_VARARGS | METH_KEYWORDS,
     "finish($self)\n--\n\n정규화 결과 문자열과 매핑을 `(str, SpanMap)` 으로 낸다. 빌더는 여기서 "
     "소비된다."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "SpanMapBuilder(text=None)\n--\n\n정규화 패스가 출력 문자열과 [`PySpanMap`] 을 "
                    "동시에 만드는 빌더.\n\n원문 조각을 앞에서부터 빠짐없이 한 번씩 넘겨야 피복 "
                    "불변식이 성립한다.\n\n코어의 `insert` 는 여기에 노출하지 않는다. 현재 정규화 "
                    "파이프라인이 쓰지 않는 경로이고,\n합성 시 불변식과 결합법칙이 깨지는 것이 "
                    "실측으로 확인됐기 때문이다. 그 경로가 정리되면\n여기에 함께 추가한다.")},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PyBuilder>)},
    {Py_tp_repr, reinterpret_cast<void*>(builder_repr)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec spec_Segment = {"kestrix.Segment", sizeof(Box<Segment>), 0, kFlagsNoInit, segment_slots};
PyType_Spec spec_SpanMap = {"kestrix.SpanMap", sizeof(Box<SpanMap>), 0, kFlagsNoInit, span_map_slots};
PyType_Spec spec_SpanMapBuilder = {"kestrix.SpanMapBuilder", sizeof(Box<PyBuilder>), 0, kFlags,
                                   builder_slots};

}  // namespace kestrix::py
