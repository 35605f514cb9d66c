// Span, SourceSpan and NormalizationCost.
#include "python/span_types.hpp"

#include "span/span_map.hpp"
#include "span/span_text.hpp"
#include "text/debug_string.hpp"

namespace kestrix::py {

std::string rules_repr(const RuleList& rules) {
  std::string s = "[";
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i) s += ", ";
    s.push_back('"');
    for (char c : rules[i]) {
      if (c == '"' || c == '\\') s.push_back('\\');
      s.push_back(c);
    }
    s.push_back('"');
  }
  s += "]";
  return s;
}

// ---- Span ----------------------------------------------------------------------------------

namespace {

PyObject* span_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[4];
    bind("Span", args, kwargs, {"byte_start", "byte_end", "char_start", "char_end"}, 4, a);
    Span s{to_u32(a[0], "byte_start"), to_u32(a[1], "byte_end"), to_u32(a[2], "char_start"),
           to_u32(a[3], "char_end")};
    return make(T_Span, s);
  });
}

PyObject* span_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Span& s = unbox<Span>(self);
    return new_str("Span(byte=" + std::to_string(s.byte_start) + ".." + std::to_string(s.byte_end) +
                   ", char=" + std::to_string(s.char_start) + ".." + std::to_string(s.char_end) +
                   ")");
  });
}

PyObject* span_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool eq = is_instance(other, T_Span) && unbox<Span>(self) == unbox<Span>(other);
  return PyBool_FromLong((op == Py_EQ) == eq);
}

PyObject* span_from_char_range_m(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    bind("from_char_range", args, kwargs, {"text", "char_start", "char_end"}, 3, a);
    std::string_view text = to_string_view(a[0], "text");
    std::uint32_t cs = to_u32(a[1], "char_start");
    std::uint32_t ce = to_u32(a[2], "char_end");
    auto r = span_from_char_range(text, cs, ce);
    if (!r) throw_value_error(r.error());
    return make(T_Span, *r);
  });
}

PyObject* span_slice(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("slice", args, kwargs, {"text"}, 1, a);
    std::string_view text = to_string_view(a[0], "text");
    auto r = slice(unbox<Span>(self), text);
    if (!r) throw_value_error(r.error());
    return new_str(*r);
  });
}

PyObject* span_is_empty(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("is_empty", args, kwargs, {}, 0, nullptr);
    const Span& s = unbox<Span>(self);
    return new_bool(s.byte_start >= s.byte_end);
  });
}

PyObject* span_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("to_json", args, kwargs, {}, 0, nullptr);
    std::string out;
    write_json(out, unbox<Span>(self));
    return new_str(out);
  });
}

template <std::uint32_t Span::*F>
PyObject* span_field(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_u64(unbox<Span>(self).*F); });
}

PyObject* span_byte_len(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    const Span& s = unbox<Span>(self);
    return new_u64(s.byte_end < s.byte_start ? 0 : s.byte_end - s.byte_start);
  });
}

PyObject* span_char_len(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    const Span& s = unbox<Span>(self);
    return new_u64(s.char_end < s.char_start ? 0 : s.char_end - s.char_start);
  });
}

PyMethodDef span_methods[] = {
    {"from_char_range", KX_METH(span_from_char_range_m), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_char_range(text, char_start, char_end)\n--\n\n문자 구간만 알 때 텍스트를 훑어 바이트 "
     "구간까지 채운 스팬을 만든다.\n\nPython 소비자가 문자 인덱스만 들고 있는 흔한 상황을 위한 "
     "편의 생성자다."},
    {"slice", KX_METH(span_slice), METH_VARARGS | METH_KEYWORDS,
     "slice($self, text)\n--\n\n이 스팬이 가리키는 조각을 잘라 낸다. 범위를 벗어나면 예외를 "
     "낸다.\n\n코어의 `Span::slice` 는 범위 밖에서 패닉하므로, Python 으로 패닉을 넘기지 않도록\n"
     "여기서 먼저 확인한다."},
    {"is_empty", KX_METH(span_is_empty), METH_VARARGS | METH_KEYWORDS, "is_empty($self)\n--\n\n"},
    {"to_json", KX_METH(span_to_json), METH_VARARGS | METH_KEYWORDS,
     "to_json($self)\n--\n\n스팬을 JSON 문자열로 낸다."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef span_getset[] = {
    {"byte_start", span_field<&Span::byte_start>, nullptr, nullptr, nullptr},
    {"byte_end", span_field<&Span::byte_end>, nullptr, nullptr, nullptr},
    {"char_start", span_field<&Span::char_start>, nullptr, nullptr, nullptr},
    {"char_end", span_field<&Span::char_end>, nullptr, nullptr, nullptr},
    {"byte_len", span_byte_len, nullptr, nullptr, nullptr},
    {"char_len", span_char_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot span_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Span(byte_start, byte_end, char_start, char_end)\n--\n\n텍스트 한 구간. 바이트 "
                    "오프셋과 문자 오프셋을 둘 다 담는다.\n\nPython 문자열은 문자 인덱스 기반이라 "
                    "문자 좌표를 그대로 노출하는 것이 중요하다.\n바이트만 주면 소비자 쪽에서 다시 "
                    "변환해야 하고 그 변환이 새 오프셋 버그의 출처가 된다.")},
    {Py_tp_new, reinterpret_cast<void*>(span_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Span>)},
    {Py_tp_repr, reinterpret_cast<void*>(span_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(span_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, span_methods},
    {Py_tp_getset, span_getset},
    {0, nullptr},
};

// ---- SourceSpan ----------------------------------------------------------------------------

template <std::uint32_t Span::*F>
PyObject* source_span_field(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_u64(unbox<SourceSpan>(self).span.*F); });
}

PyObject* source_span_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const SourceSpan& s = unbox<SourceSpan>(self);
    return new_str("SourceSpan(byte=" + std::to_string(s.span.byte_start) + ".." +
                   std::to_string(s.span.byte_end) + ", char=" + std::to_string(s.span.char_start) +
                   ".." + std::to_string(s.span.char_end) +
                   ", snapped=" + (s.snapped ? "true" : "false") + ", rules=" + rules_repr(s.rules) +
                   ")");
  });
}

PyObject* source_span_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("to_json", args, kwargs, {}, 0, nullptr);
    std::string out;
    write_json(out, unbox<SourceSpan>(self));
    return new_str(out);
  });
}

PyMethodDef source_span_methods[] = {
    {"to_json", KX_METH(source_span_to_json), METH_VARARGS | METH_KEYWORDS,
     "to_json($self)\n--\n\n판정 근거를 JSON 문자열로 낸다."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef source_span_getset[] = {
    {"span", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return make(T_Span, unbox<SourceSpan>(self).span); });
     }, nullptr, const_cast<char*>("원문 기준 스팬."), nullptr},
    {"byte_start", source_span_field<&Span::byte_start>, nullptr, nullptr, nullptr},
    {"byte_end", source_span_field<&Span::byte_end>, nullptr, nullptr, nullptr},
    {"char_start", source_span_field<&Span::char_start>, nullptr, nullptr, nullptr},
    {"char_end", source_span_field<&Span::char_end>, nullptr, nullptr, nullptr},
    {"snapped", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return new_bool(unbox<SourceSpan>(self).snapped); });
     }, nullptr, const_cast<char*>("세그먼트 경계 바깥으로 넓혀졌는가."), nullptr},
    {"rules", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* { return new_str_list(unbox<SourceSpan>(self).rules); });
     }, nullptr,
     const_cast<char*>("이 구간에 적용된 정규화 규칙 목록. 중복이 제거되고 이름 오름차순으로 정렬돼 있다."),
     nullptr},
    {"cost", [](PyObject* self, void*) -> PyObject* {
       return guard([&]() -> PyObject* {
         return make(T_NormalizationCost, unbox<SourceSpan>(self).cost);
       });
     }, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot source_span_slots[] = {
    {Py_tp_doc, const_cast<char*>("[`PySpanMap`] 의 `to_source` 결과. 원문 스팬과 그 판정 근거.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SourceSpan>)},
    {Py_tp_repr, reinterpret_cast<void*>(source_span_repr)},
    {Py_tp_methods, source_span_methods},
    {Py_tp_getset, source_span_getset},
    {0, nullptr},
};

// ---- NormalizationCost ---------------------------------------------------------------------

template <std::uint16_t NormalizationCost::*F>
PyObject* cost_field(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_u64(unbox<NormalizationCost>(self).*F); });
}

PyObject* cost_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const NormalizationCost& c = unbox<NormalizationCost>(self);
    return new_str("NormalizationCost(absorbed_whitespace=" + std::to_string(c.absorbed_whitespace) +
                   ", absorbed_separators=" + std::to_string(c.absorbed_separators) +
                   ", expanded_syllables=" + std::to_string(c.expanded_syllables) +
                   ", replaced_chars=" + std::to_string(c.replaced_chars) + ")");
  });
}

PyObject* cost_is_zero(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("is_zero", args, kwargs, {}, 0, nullptr);
    return new_bool(unbox<NormalizationCost>(self).is_zero());
  });
}

PyObject* cost_to_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("to_json", args, kwargs, {}, 0, nullptr);
    std::string out;
    write_json(out, unbox<NormalizationCost>(self));
    return new_str(out);
  });
}

PyMethodDef cost_methods[] = {
    {"is_zero", KX_METH(cost_is_zero), METH_VARARGS | METH_KEYWORDS, "is_zero($self)\n--\n\n"},
    {"to_json", KX_METH(cost_to_json), METH_VARARGS | METH_KEYWORDS,
     "to_json($self)\n--\n\n비용을 JSON 문자열로 낸다."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cost_getset[] = {
    {"absorbed_whitespace", cost_field<&NormalizationCost::absorbed_whitespace>, nullptr, nullptr, nullptr},
    {"absorbed_separators", cost_field<&NormalizationCost::absorbed_separators>, nullptr, nullptr, nullptr},
    {"expanded_syllables", cost_field<&NormalizationCost::expanded_syllables>, nullptr, nullptr, nullptr},
    {"replaced_chars", cost_field<&NormalizationCost::replaced_chars>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cost_slots[] = {
    {Py_tp_doc, const_cast<char*>("이 스팬이 원문에서 얼마나 멀어졌는지의 정량 지표. 탐지 층이 "
                                  "신뢰도를 깎는 데 쓴다.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<NormalizationCost>)},
    {Py_tp_repr, reinterpret_cast<void*>(cost_repr)},
    {Py_tp_methods, cost_methods},
    {Py_tp_getset, cost_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec spec_Span = {"kestrix.Span", sizeof(Box<Span>), 0, kFlags, span_slots};
PyType_Spec spec_SourceSpan = {"kestrix.SourceSpan", sizeof(Box<SourceSpan>), 0, kFlagsNoInit,
                               source_span_slots};
PyType_Spec spec_NormalizationCost = {"kestrix.NormalizationCost", sizeof(Box<NormalizationCost>), 0,
                                      kFlagsNoInit, cost_slots};

}  // namespace kestrix::py
