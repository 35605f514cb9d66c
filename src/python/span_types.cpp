// Span, SourceSpan, NormalizationCost, Segment, SpanMap and SpanMapBuilder.
#include <limits>

#include "python/py.hpp"
#include "span/builder.hpp"
#include "span/describe.hpp"
#include "span/mapping.hpp"
#include "span/span_map.hpp"
#include "span/span_text.hpp"

namespace kestrix::py {

// The value behind a SpanMapBuilder instance.
struct PyBuilder {
  Builder b;
  bool consumed = false;
};
template <>
inline constexpr bool kMutable<PyBuilder> = true;

namespace {

// ---- Span ----------------------------------------------------------------------------------

PyObject* span_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    auto a = bind<4>("Span", {"byte_start", "byte_end", "char_start", "char_end"}, args, kwargs);
    Span s{to_u32(a[0], "byte_start"), to_u32(a[1], "byte_end"), to_u32(a[2], "char_start"),
           to_u32(a[3], "char_end")};
    return make(T_Span, s);
  });
}

PyObject* span_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool eq = is_instance(other, T_Span) && unbox<Span>(self) == unbox<Span>(other);
  return PyBool_FromLong((op == Py_EQ) == eq);
}

KX_FN(span_from_char_range_m, 3, "from_char_range", "text", "char_start", "char_end") {
  return make(T_Span, char_range_arg(a, "text"));
}

KX_FN(span_slice, 1, "slice", "text") { return new_str(ok(slice(unbox<Span>(self), to_string_view(a[0], "text")))); }

PyObject* span_is_empty(const Span& s) { return new_bool(s.byte_start >= s.byte_end); }

PyObject* byte_len(const Span& s) { return new_u64(s.byte_end < s.byte_start ? 0 : s.byte_end - s.byte_start); }
PyObject* char_len(const Span& s) { return new_u64(s.char_end < s.char_start ? 0 : s.char_end - s.char_start); }

PyMethodDef span_methods[] = {
    KX_S("from_char_range", span_from_char_range_m,
         "from_char_range(text, char_start, char_end)\n--\n\n문자 구간만 알 때 텍스트를 훑어 바이트 "
         "구간까지 채운 스팬을 만든다.\n\nPython 소비자가 문자 인덱스만 들고 있는 흔한 상황을 위한 "
         "편의 생성자다."),
    KX_M("slice", span_slice,
         "slice($self, text)\n--\n\n이 스팬이 가리키는 조각을 잘라 낸다. 범위를 벗어나면 예외를 "
         "낸다.\n\n코어의 `Span::slice` 는 범위 밖에서 패닉하므로, Python 으로 패닉을 넘기지 않도록\n"
         "여기서 먼저 확인한다."),
    KX_M0("is_empty", Span, span_is_empty, "is_empty($self)\n--\n\n"),
    KX_JSON("to_json($self)\n--\n\n스팬을 JSON 문자열로 낸다.", Span),
    KX_END,
};

PyGetSetDef span_getset[] = {
    KX_F(Span, byte_start, nullptr),
    KX_F(Span, byte_end, nullptr),
    KX_F(Span, char_start, nullptr),
    KX_F(Span, char_end, nullptr),
    KX_G("byte_len", (get<Span, byte_len>), nullptr),
    KX_G("char_len", (get<Span, char_len>), nullptr),
    KX_END,
};

// ---- SourceSpan ----------------------------------------------------------------------------

template <std::uint32_t Span::*F>
PyObject* span_of(const SourceSpan& s) { return new_u64(s.span.*F); }

PyGetSetDef source_span_getset[] = {
    KX_F(SourceSpan, span, "원문 기준 스팬."),
    KX_G("byte_start", (get<SourceSpan, span_of<&Span::byte_start>>), nullptr),
    KX_G("byte_end", (get<SourceSpan, span_of<&Span::byte_end>>), nullptr),
    KX_G("char_start", (get<SourceSpan, span_of<&Span::char_start>>), nullptr),
    KX_G("char_end", (get<SourceSpan, span_of<&Span::char_end>>), nullptr),
    KX_F(SourceSpan, snapped, "세그먼트 경계 바깥으로 넓혀졌는가."),
    KX_F(SourceSpan, rules, "이 구간에 적용된 정규화 규칙 목록. 중복이 제거되고 이름 오름차순으로 정렬돼 있다."),
    KX_F(SourceSpan, cost, nullptr),
    KX_END,
};

// ---- NormalizationCost ---------------------------------------------------------------------

PyObject* cost_is_zero(const NormalizationCost& c) { return new_bool(c.is_zero()); }

PyMethodDef cost_methods[] = {
    KX_M0("is_zero", NormalizationCost, cost_is_zero, "is_zero($self)\n--\n\n"),
    KX_JSON("to_json($self)\n--\n\n비용을 JSON 문자열로 낸다.", NormalizationCost),
    KX_END,
};

PyGetSetDef cost_getset[] = {
    KX_F(NormalizationCost, absorbed_whitespace, nullptr),
    KX_F(NormalizationCost, absorbed_separators, nullptr),
    KX_F(NormalizationCost, expanded_syllables, nullptr),
    KX_F(NormalizationCost, replaced_chars, nullptr),
    KX_END,
};

// ---- Segment -------------------------------------------------------------------------------

PyGetSetDef segment_getset[] = {
    KX_F(Segment, src, "입력(원문) 쪽 구간."),
    KX_F(Segment, dst, "출력(정규화문) 쪽 구간."),
    KX_G("kind", (get<Segment, [](const Segment& s) { return new_str(kind_name(s.kind)); }>),
         "`\"identity\"`, `\"replace\"`, `\"delete\"`, `\"expand\"`, `\"insert\"` 중 하나."),
    KX_F(Segment, rules, "이 구간을 만든 규칙들. 이름 오름차순이고 항등 구간은 비어 있다."),
    KX_F(Segment, cost, nullptr),
    KX_END,
};

// ---- SpanMap -------------------------------------------------------------------------------

PyObject* end_tuple(std::pair<std::uint32_t, std::uint32_t> e) {
  Ref b = Ref::steal(new_u64(e.first));
  Ref c = Ref::steal(new_u64(e.second));
  return check(PyTuple_Pack(2, b.get(), c.get()));
}

PyObject* span_map_is_identity(const SpanMap& m) { return new_bool(is_identity(m)); }

PyObject* span_map_validate(const SpanMap& m) {
  ok(validate(m));
  return none();
}

KX_FN(span_map_identity, 1, "identity", "text") { return make(T_SpanMap, identity(to_string_view(a[0], "text"))); }

KX_FN(span_map_compose, 2, "compose", "inner", "outer") {
  expect_instance(a[0], T_SpanMap, "inner");
  expect_instance(a[1], T_SpanMap, "outer");
  return make(T_SpanMap, ok(compose(unbox<SpanMap>(a[0]), unbox<SpanMap>(a[1]))));
}

KX_FN(span_map_to_source, 1, "to_source", "dst") {
  expect_instance(a[0], T_Span, "dst");
  return make(T_SourceSpan, to_source(unbox<SpanMap>(self), unbox<Span>(a[0])));
}

KX_FN(span_map_to_source_from_chars, 3, "to_source_from_chars", "normalized", "char_start", "char_end") {
  return make(T_SourceSpan, to_source(unbox<SpanMap>(self), char_range_arg(a, "normalized")));
}

PyMethodDef span_map_methods[] = {
    KX_M0("is_identity", SpanMap, span_map_is_identity, "is_identity($self)\n--\n\n변환이 하나도 없는가."),
    KX_M0("validate", SpanMap, span_map_validate,
         "validate($self)\n--\n\n불변식 검사. 깨졌으면 `SpanMapError` 를 낸다."),
    KX_JSON("to_json($self)\n--\n\n테이블 전체를 JSON 문자열로 낸다.", SpanMap),
    KX_S("identity", span_map_identity, "identity(text)\n--\n\n변환이 전혀 없는 항등 매핑."),
    KX_S("compose", span_map_compose,
         "compose(inner, outer)\n--\n\n두 매핑을 하나로 합친다. `inner` 가 A→B, `outer` 가 B→C 면 "
         "결과는 A→C 다.\n\n`inner` 의 출력 좌표계와 `outer` 의 입력 좌표계가 다르면 `SpanMapError` "
         "를 낸다."),
    KX_M("to_source", span_map_to_source,
         "to_source($self, dst)\n--\n\n정규화문 구간을 원문 구간으로 되돌린다."),
    KX_M("to_source_from_chars", span_map_to_source_from_chars,
         "to_source_from_chars($self, normalized, char_start, char_end)\n--\n\n문자 좌표만으로 "
         "되돌린다. 정규화문을 함께 넘겨 바이트 좌표를 채운다.\n\n"
         "`to_source(Span.from_char_range(normalized, start, end))` 의 축약이다."),
    KX_END,
};

PyGetSetDef span_map_getset[] = {
    KX_F(SpanMap, segments, "세그먼트 목록."),
    KX_G("src_end", (get<SpanMap, [](const SpanMap& m) { return end_tuple(src_end(m)); }>),
         "원문 끝 좌표 `(byte, char)`."),
    KX_G("dst_end", (get<SpanMap, [](const SpanMap& m) { return end_tuple(dst_end(m)); }>),
         "정규화문 끝 좌표 `(byte, char)`."),
    KX_END,
};

// ---- SpanMapBuilder ------------------------------------------------------------------------

constexpr const char* kConsumed = "this builder was already consumed by finish()";

// Runs op on the builder of self for a piece of src_bytes and dst_bytes, borrowed for writing,
// if it is not consumed. Cursors are 32-bit: a piece that would carry one past the end is
// refused instead of wrapping into a map whose coordinates no longer describe the text.
template <class Op>
PyObject* building(PyObject* self, std::size_t src_bytes, std::size_t dst_bytes, Op op) {
  ExclusiveBorrow<PyBuilder> pb(self);
  if (pb.value().consumed) throw_error(PyExc_RuntimeError, kConsumed);
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (src_bytes > kMax - pb.value().b.sb || dst_bytes > kMax - pb.value().b.db)
    throw_error(PyExc_OverflowError, "span map offsets would pass 4294967295 bytes");
  op(pb.value().b);
  return none();
}

PyObject* builder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    auto a = bind<0>("SpanMapBuilder", {"text"}, args, kwargs);
    PyBuilder pb;
    if (a[0]) reserve(pb.b, to_string_view(a[0], "text").size());
    return make(T_SpanMapBuilder, std::move(pb));
  });
}

// Read without a borrow: the flag is a plain bool, and a repr must work during an operation.
PyObject* builder_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    return new_str(held<PyBuilder>(self).consumed ? "SpanMapBuilder(consumed)" : "SpanMapBuilder(active)");
  });
}

KX_FN(builder_keep, 1, "keep", "text") {
  std::string_view text = to_string_view(a[0], "text");
  return building(self, text.size(), text.size(), [&](Builder& b) { keep(b, text); });
}

// replace and numeral share everything but the core operation.
template <void (*Op)(Builder&, std::string_view, std::string_view, std::string_view)>
PyObject* rewrite(PyObject* self, const Args<3>& a) {
  std::string_view src = to_string_view(a[0], "src_text");
  std::string_view dst = to_string_view(a[1], "dst_text");
  std::string_view rule = intern_rule(to_string_view(a[2], "rule"));
  return building(self, src.size(), src.empty() ? 0 : dst.size(), [&](Builder& b) { Op(b, src, dst, rule); });
}

KX_FN(builder_replace, 3, "replace", "src_text", "dst_text", "rule") { return rewrite<replace>(self, a); }
KX_FN(builder_numeral, 3, "numeral", "src_text", "dst_text", "rule") { return rewrite<numeral>(self, a); }

KX_FN(builder_absorb, 2, "absorb", "src_text", "rule", "class_") {
  std::string_view src = to_string_view(a[0], "src_text");
  std::string_view rule = to_string_view(a[1], "rule");
  const AbsorbClass cls = ok(parse_absorb_class(a[2] ? to_string_view(a[2], "class_") : "separator"));
  rule = intern_rule(rule);
  return building(self, src.size(), 0, [&](Builder& b) { absorb(b, src, rule, cls); });
}

PyObject* builder_finish(PyObject* self) {
  ExclusiveBorrow<PyBuilder> pb(self);
  if (pb.value().consumed) throw_error(PyExc_RuntimeError, kConsumed);
  // Create every Python object first: once finish() has run the builder cannot go back,
  // so nothing may fail after it.
  Ref text = Ref::steal(new_str(pb.value().b.out));
  auto value = std::make_shared<SpanMap>();
  Ref map = Ref::steal(make_held<SpanMap>(T_SpanMap, value));
  Ref tuple = Ref::steal(check(PyTuple_Pack(2, text.get(), map.get())));
  *value = finish(pb.value().b).second;
  pb.value().consumed = true;
  return tuple.release();
}

PyMethodDef builder_methods[] = {
    KX_M("keep", builder_keep, "keep($self, text)\n--\n\n원문 조각을 그대로 통과시킨다. 연속 호출은 하나의 항등 "
     "세그먼트로 접힌다."),
    KX_M("replace", builder_replace, "replace($self, src_text, dst_text, rule)\n--\n\n문자 폴딩. 전각을 반각으로 "
     "바꾸거나 유사문자를 교정할 때 쓴다."),
    KX_M("numeral", builder_numeral, "numeral($self, src_text, dst_text, rule)\n--\n\n한글 수사 역변환. `팔팔공일공일` "
     "을 `880101` 로 옮길 때 쓴다."),
    KX_M("absorb", builder_absorb, "absorb($self, src_text, rule, class_=\"separator\")\n--\n\n원문 조각을 "
     "흡수(삭제)한다.\n\n`class_` 는 `\"whitespace\"`, `\"separator\"`, `\"other\"` 중 하나다. 종류마다 신뢰도\n감점 "
     "계수가 다르므로 정확히 골라야 한다."),
    KX_M0("finish", PyBuilder, builder_finish,
          "finish($self)\n--\n\n정규화 결과 문자열과 매핑을 `(str, SpanMap)` 으로 낸다. 빌더는 "
          "여기서 소비된다."),
    KX_END,
};

}  // namespace

Span char_range_arg(const Args<3>& a, const char* text_param) {
  std::string_view text = to_string_view(a[0], text_param);
  const std::uint32_t cs = to_u32(a[1], "char_start");
  return ok(span_from_char_range(text, cs, to_u32(a[2], "char_end")));
}

const ClassDef class_Span = {
    .doc = "Span(byte_start, byte_end, char_start, char_end)\n--\n\n텍스트 한 구간. 바이트 "
           "오프셋과 문자 오프셋을 둘 다 담는다.\n\nPython 문자열은 문자 인덱스 기반이라 "
           "문자 좌표를 그대로 노출하는 것이 중요하다.\n바이트만 주면 소비자 쪽에서 다시 "
           "변환해야 하고 그 변환이 새 오프셋 버그의 출처가 된다.",
    KX_BOX(Span), .init = span_new, .compare = span_richcompare, .methods = span_methods, .getset = span_getset,
};

const ClassDef class_SourceSpan = {
    .doc = "[`PySpanMap`] 의 `to_source` 결과. 원문 스팬과 그 판정 근거.",
    KX_BOX(SourceSpan),
    .methods = json_methods<SourceSpan, "to_json($self)\n--\n\n판정 근거를 JSON 문자열로 낸다.">,
    .getset = source_span_getset,
};

const ClassDef class_NormalizationCost = {
    .doc = "이 스팬이 원문에서 얼마나 멀어졌는지의 정량 지표. 탐지 층이 신뢰도를 깎는 데 쓴다.",
    KX_BOX(NormalizationCost), .methods = cost_methods, .getset = cost_getset,
};

const ClassDef class_Segment = {
    .doc = "정규화 한 조각. 연속한 항등 구간은 하나로 접혀 있다.",
    KX_BOX(Segment),
    .methods = json_methods<Segment, "to_json($self)\n--\n\n세그먼트를 JSON 문자열로 낸다.">,
    .getset = segment_getset,
};

const ClassDef class_SpanMap = {
    .doc = "원문과 정규화문을 잇는 단조 구간 정렬 테이블.",
    KX_BOX(SpanMap), .len = length<&SpanMap::segments>, .methods = span_map_methods, .getset = span_map_getset,
};

const ClassDef class_SpanMapBuilder = {
    .doc = "SpanMapBuilder(text=None)\n--\n\n정규화 패스가 출력 문자열과 [`PySpanMap`] 을 "
           "동시에 만드는 빌더.\n\n원문 조각을 앞에서부터 빠짐없이 한 번씩 넘겨야 피복 "
           "불변식이 성립한다.\n\n코어의 `insert` 는 여기에 노출하지 않는다. 현재 정규화 "
           "파이프라인이 쓰지 않는 경로이고,\n합성 시 불변식과 결합법칙이 깨지는 것이 "
           "실측으로 확인됐기 때문이다. 그 경로가 정리되면\n여기에 함께 추가한다.",
    KX_BOX_REPR(PyBuilder, builder_repr), .init = builder_new, .methods = builder_methods,
};

}  // namespace kestrix::py
