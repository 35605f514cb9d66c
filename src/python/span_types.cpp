// Span, SourceSpan and NormalizationCost.
#include "python/py.hpp"

#include "span/span_map.hpp"
#include "span/span_text.hpp"
#include "text/debug_string.hpp"

namespace kestrix::py {
namespace {

// ["a", "b"] with backslash escapes for quote and backslash.
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

// "byte=1..2, char=3..4"
std::string ranges(const Span& s) {
  return "byte=" + std::to_string(s.byte_start) + ".." + std::to_string(s.byte_end) +
         ", char=" + std::to_string(s.char_start) + ".." + std::to_string(s.char_end);
}

}  // namespace

Span char_range_arg(const Args<3>& a, const char* text_param) {
  std::string_view text = to_string_view(a[0], text_param);
  const std::uint32_t cs = to_u32(a[1], "char_start");
  return ok(span_from_char_range(text, cs, to_u32(a[2], "char_end")));
}

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

std::string span_repr(const Span& s) { return "Span(" + ranges(s) + ")"; }

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
    KX_G("byte_start", field<&Span::byte_start>, nullptr),
    KX_G("byte_end", field<&Span::byte_end>, nullptr),
    KX_G("char_start", field<&Span::char_start>, nullptr),
    KX_G("char_end", field<&Span::char_end>, nullptr),
    KX_G("byte_len", (get<Span, byte_len>), nullptr),
    KX_G("char_len", (get<Span, char_len>), nullptr),
    KX_END,
};

// ---- SourceSpan ----------------------------------------------------------------------------

std::string source_span_repr(const SourceSpan& s) {
  return "SourceSpan(" + ranges(s.span) + ", snapped=" + (s.snapped ? "true" : "false") +
         ", rules=" + rules_repr(s.rules) + ")";
}

template <std::uint32_t Span::*F>
PyObject* span_of(const SourceSpan& s) { return new_u64(s.span.*F); }

PyMethodDef source_span_methods[] = {
    KX_JSON("to_json($self)\n--\n\n판정 근거를 JSON 문자열로 낸다.", SourceSpan),
    KX_END,
};

PyGetSetDef source_span_getset[] = {
    KX_G("span", field<&SourceSpan::span>, "원문 기준 스팬."),
    KX_G("byte_start", (get<SourceSpan, span_of<&Span::byte_start>>), nullptr),
    KX_G("byte_end", (get<SourceSpan, span_of<&Span::byte_end>>), nullptr),
    KX_G("char_start", (get<SourceSpan, span_of<&Span::char_start>>), nullptr),
    KX_G("char_end", (get<SourceSpan, span_of<&Span::char_end>>), nullptr),
    KX_G("snapped", field<&SourceSpan::snapped>, "세그먼트 경계 바깥으로 넓혀졌는가."),
    KX_G("rules", field<&SourceSpan::rules>,
         "이 구간에 적용된 정규화 규칙 목록. 중복이 제거되고 이름 오름차순으로 정렬돼 있다."),
    KX_G("cost", field<&SourceSpan::cost>, nullptr),
    KX_END,
};

// ---- NormalizationCost ---------------------------------------------------------------------

std::string cost_repr(const NormalizationCost& c) {
  return "NormalizationCost(absorbed_whitespace=" + std::to_string(c.absorbed_whitespace) +
         ", absorbed_separators=" + std::to_string(c.absorbed_separators) +
         ", expanded_syllables=" + std::to_string(c.expanded_syllables) +
         ", replaced_chars=" + std::to_string(c.replaced_chars) + ")";
}

PyObject* cost_is_zero(const NormalizationCost& c) { return new_bool(c.is_zero()); }

PyMethodDef cost_methods[] = {
    KX_M0("is_zero", NormalizationCost, cost_is_zero, "is_zero($self)\n--\n\n"),
    KX_JSON("to_json($self)\n--\n\n비용을 JSON 문자열로 낸다.", NormalizationCost),
    KX_END,
};

PyGetSetDef cost_getset[] = {
    KX_G("absorbed_whitespace", field<&NormalizationCost::absorbed_whitespace>, nullptr),
    KX_G("absorbed_separators", field<&NormalizationCost::absorbed_separators>, nullptr),
    KX_G("expanded_syllables", field<&NormalizationCost::expanded_syllables>, nullptr),
    KX_G("replaced_chars", field<&NormalizationCost::replaced_chars>, nullptr),
    KX_END,
};

}  // namespace

const ClassDef class_Span = {
    .doc = "Span(byte_start, byte_end, char_start, char_end)\n--\n\n텍스트 한 구간. 바이트 "
           "오프셋과 문자 오프셋을 둘 다 담는다.\n\nPython 문자열은 문자 인덱스 기반이라 "
           "문자 좌표를 그대로 노출하는 것이 중요하다.\n바이트만 주면 소비자 쪽에서 다시 "
           "변환해야 하고 그 변환이 새 오프셋 버그의 출처가 된다.",
    KX_BOX(Span), .repr = repr<Span, span_repr>, .init = span_new, .compare = span_richcompare,
    .methods = span_methods, .getset = span_getset,
};

const ClassDef class_SourceSpan = {
    .doc = "[`PySpanMap`] 의 `to_source` 결과. 원문 스팬과 그 판정 근거.",
    KX_BOX(SourceSpan), .repr = repr<SourceSpan, source_span_repr>, .methods = source_span_methods,
    .getset = source_span_getset,
};

const ClassDef class_NormalizationCost = {
    .doc = "이 스팬이 원문에서 얼마나 멀어졌는지의 정량 지표. 탐지 층이 신뢰도를 깎는 데 쓴다.",
    KX_BOX(NormalizationCost), .repr = repr<NormalizationCost, cost_repr>, .methods = cost_methods,
    .getset = cost_getset,
};

}  // namespace kestrix::py
