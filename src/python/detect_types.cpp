// ContextHit, Evidence, Finding, Rejection, Report, detect() and entity_names().
#include "detect/detect.hpp"
#include "detect/report_json.hpp"
#include "python/py.hpp"
#include "python/span_types.hpp"
#include "span/span_map.hpp"
#include "span/span_text.hpp"
#include "text/debug_string.hpp"

namespace kestrix::py {
namespace {

// A getter over the core value of a Box<T>: fn(value) -> new reference.
template <class T, auto Fn>
PyObject* get(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return Fn(unbox<T>(self)); });
}

// to_json($self) over any core value with a write function.
template <class T, auto Write>
PyObject* to_json_m(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("to_json", args, kwargs, {}, 0, nullptr);
    std::string out;
    Write(out, unbox<T>(self));
    return new_str(out);
  });
}

constexpr char kToJsonDoc[] = "to_json($self)\n--\n\n";

// ---- ContextHit ----------------------------------------------------------------------------

PyObject* hit_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const ContextHit& h = unbox<ContextHit>(self);
    return new_str("ContextHit(cue=" + debug_string(h.cue) + ", distance=" +
                   std::to_string(h.distance) + ", weight=" + format_fixed(h.weight, 3) + ")");
  });
}

PyGetSetDef hit_getset[] = {
    {"cue", get<ContextHit, [](const ContextHit& h) { return new_str(h.cue); }>, nullptr,
     const_cast<char*>("걸린 단서 낱말."), nullptr},
    {"distance", get<ContextHit, [](const ContextHit& h) { return new_u64(h.distance); }>, nullptr,
     const_cast<char*>("스팬으로부터의 거리(문자)."), nullptr},
    {"weight", get<ContextHit, [](const ContextHit& h) { return new_f32(h.weight); }>, nullptr,
     const_cast<char*>("거리 감쇠가 반영된 무게."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hit_slots[] = {
    {Py_tp_doc, const_cast<char*>("문맥 단서 하나가 걸린 기록.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ContextHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(hit_repr)},
    {Py_tp_getset, hit_getset},
    {0, nullptr},
};

// ---- Evidence (a view of a Finding) --------------------------------------------------------

PyObject* evidence_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Finding& f = unbox<Finding>(self);
    return new_str("Evidence(rule=" + debug_string(f.rule) + ", checksum=" +
                   debug_string(status_name(f.status)) +
                   ", context_hits=" + std::to_string(f.context_hits.size()) + ")");
  });
}

PyMethodDef evidence_methods[] = {
    {"to_json", KX_METH((to_json_m<Finding, write_evidence_json>)), METH_VARARGS | METH_KEYWORDS,
     kToJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef evidence_getset[] = {
    {"rule", get<Finding, [](const Finding& f) { return new_str(f.rule); }>, nullptr,
     const_cast<char*>("걸린 패턴 규칙 이름."), nullptr},
    {"checksum", get<Finding, [](const Finding& f) { return new_str(status_name(f.status)); }>,
     nullptr, const_cast<char*>("`\"passed\"`, `\"failed\"`, `\"not_applicable\"` 중 하나."),
     nullptr},
    {"checksum_reason",
     get<Finding, [](const Finding& f) {
       return f.status == ChecksumStatus::not_applicable ? new_str(f.reason) : none();
     }>,
     nullptr, const_cast<char*>("검증식이 적용 불가인 사유. 그 외에는 `None`."), nullptr},
    {"context_hits",
     get<Finding, [](const Finding& f) { return new_box_list<ContextHit>(T_ContextHit, f.context_hits); }>,
     nullptr, const_cast<char*>("잡힌 문맥 단서들."), nullptr},
    {"normalizations", get<Finding, [](const Finding& f) { return new_str_list(f.normalizations); }>,
     nullptr, const_cast<char*>("이 스팬에 적용된 정규화 규칙들. 이름 오름차순이다."), nullptr},
    {"cost", get<Finding, [](const Finding& f) { return make(T_NormalizationCost, f.cost); }>,
     nullptr, const_cast<char*>("정규화 비용. 감점 근거다."), nullptr},
    {"snapped", get<Finding, [](const Finding& f) { return new_bool(f.snapped); }>, nullptr,
     const_cast<char*>("세그먼트 경계 바깥으로 넓혀졌는가."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot evidence_slots[] = {
    {Py_tp_doc, const_cast<char*>("왜 이 후보가 걸렸는가.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Finding>)},
    {Py_tp_repr, reinterpret_cast<void*>(evidence_repr)},
    {Py_tp_methods, evidence_methods},
    {Py_tp_getset, evidence_getset},
    {0, nullptr},
};

// ---- Finding -------------------------------------------------------------------------------

PyObject* finding_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Finding& f = unbox<Finding>(self);
    return new_str("Finding(entity=" + debug_string(entity_name(f.entity)) + ", certainty=" +
                   debug_string(certainty_name(f.certainty)) + ", score=" +
                   format_fixed(f.score, 2) + ", byte=" + std::to_string(f.source.byte_start) +
                   ".." + std::to_string(f.source.byte_end) + ")");
  });
}

PyObject* finding_text(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    bind("text", args, kwargs, {"source_text"}, 1, a);
    std::string_view text = to_string_view(a[0], "source_text");
    auto piece = slice(unbox<Finding>(self).source, text);
    if (!piece) throw_value_error(piece.error());
    return new_str(*piece);
  });
}

void write_finding(std::string& out, const Finding& f) { write_json(out, f); }

PyMethodDef finding_methods[] = {
    {"text", KX_METH(finding_text), METH_VARARGS | METH_KEYWORDS,
     "text($self, source_text)\n--\n\n원문에서 이 결과가 가리키는 조각을 잘라 낸다."},
    {"to_json", KX_METH((to_json_m<Finding, write_finding>)), METH_VARARGS | METH_KEYWORDS,
     kToJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef finding_getset[] = {
    {"entity", get<Finding, [](const Finding& f) { return new_str(entity_name(f.entity)); }>,
     nullptr,
     const_cast<char*>("엔티티 이름. `\"resident\"`, `\"phone\"` 처럼 소문자 스네이크 케이스다."),
     nullptr},
    {"entity_label", get<Finding, [](const Finding& f) { return new_str(entity_label(f.entity)); }>,
     nullptr, const_cast<char*>("사람이 읽는 한국어 이름. `\"주민등록번호\"`"), nullptr},
    {"source", get<Finding, [](const Finding& f) { return make(T_Span, f.source); }>, nullptr,
     const_cast<char*>("**원문** 기준 스팬. 마스킹은 이 구간에 적용된다."), nullptr},
    {"normalized", get<Finding, [](const Finding& f) { return make(T_Span, f.normalized); }>,
     nullptr, const_cast<char*>("정규화문 기준 스팬."), nullptr},
    {"certainty",
     get<Finding, [](const Finding& f) { return new_str(certainty_name(f.certainty)); }>, nullptr,
     const_cast<char*>("`\"possible\"`, `\"probable\"`, `\"certain\"` 중 하나."), nullptr},
    {"score", get<Finding, [](const Finding& f) { return new_f32(f.score); }>, nullptr,
     const_cast<char*>("연속 점수."), nullptr},
    {"evidence", get<Finding, [](const Finding& f) { return make(T_Evidence, Finding(f)); }>,
     nullptr, const_cast<char*>("판정 근거."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot finding_slots[] = {
    {Py_tp_doc, const_cast<char*>("탐지 결과 한 건.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Finding>)},
    {Py_tp_repr, reinterpret_cast<void*>(finding_repr)},
    {Py_tp_methods, finding_methods},
    {Py_tp_getset, finding_getset},
    {0, nullptr},
};

// ---- Rejection -----------------------------------------------------------------------------

PyObject* rejection_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Rejection& r = unbox<Rejection>(self);
    return new_str("Rejection(entity=" + debug_string(entity_name(r.entity)) + ", reason=" +
                   debug_string(reject_reason_name(r.reason)) +
                   ", score=" + format_fixed(r.score, 2) + ")");
  });
}

void write_rejection(std::string& out, const Rejection& r) { write_json(out, r); }

PyMethodDef rejection_methods[] = {
    {"to_json", KX_METH((to_json_m<Rejection, write_rejection>)), METH_VARARGS | METH_KEYWORDS,
     kToJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rejection_getset[] = {
    {"entity", get<Rejection, [](const Rejection& r) { return new_str(entity_name(r.entity)); }>,
     nullptr, nullptr, nullptr},
    {"entity_label",
     get<Rejection, [](const Rejection& r) { return new_str(entity_label(r.entity)); }>, nullptr,
     nullptr, nullptr},
    {"source", get<Rejection, [](const Rejection& r) { return make(T_Span, r.source); }>, nullptr,
     nullptr, nullptr},
    {"score", get<Rejection, [](const Rejection& r) { return new_f32(r.score); }>, nullptr, nullptr,
     nullptr},
    {"reason",
     get<Rejection, [](const Rejection& r) { return new_str(reject_reason_name(r.reason)); }>,
     nullptr,
     const_cast<char*>(
         "`\"checksum_failed\"`, `\"no_context\"`, `\"below_threshold\"`, `\"outranked\"` 중 하나."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rejection_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "형식은 맞았는데 판정에서 떨어진 후보. \"왜 안 걸렸는가\"를 설명한다.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Rejection>)},
    {Py_tp_repr, reinterpret_cast<void*>(rejection_repr)},
    {Py_tp_methods, rejection_methods},
    {Py_tp_getset, rejection_getset},
    {0, nullptr},
};

// ---- Report --------------------------------------------------------------------------------

PyObject* report_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Report& r = unbox<Report>(self);
    return new_str("Report(findings=" + std::to_string(r.findings.size()) +
                   ", rejections=" + std::to_string(r.rejections.size()) + ")");
  });
}

// len(report) is the number of findings.
Py_ssize_t report_len(PyObject* self) {
  return static_cast<Py_ssize_t>(unbox<Report>(self).findings.size());
}

void write_report(std::string& out, const Report& r) { write_json(out, r); }

PyMethodDef report_methods[] = {
    {"to_json", KX_METH((to_json_m<Report, write_report>)), METH_VARARGS | METH_KEYWORDS,
     kToJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef report_getset[] = {
    {"findings",
     get<Report, [](const Report& r) { return new_box_list<Finding>(T_Finding, r.findings); }>,
     nullptr, const_cast<char*>("통과한 결과. 원문 위치 오름차순이다."), nullptr},
    {"rejections",
     get<Report, [](const Report& r) { return new_box_list<Rejection>(T_Rejection, r.rejections); }>,
     nullptr, const_cast<char*>("떨어진 후보."), nullptr},
    {"normalized_text", get<Report, [](const Report& r) { return new_str(r.normalized_text); }>,
     nullptr, const_cast<char*>("정규화된 텍스트. 판정 근거를 눈으로 확인할 때 쓴다."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot report_slots[] = {
    {Py_tp_doc, const_cast<char*>("탐지 결과 전체.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Report>)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_mp_length, reinterpret_cast<void*>(report_len)},
    {Py_tp_methods, report_methods},
    {Py_tp_getset, report_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec spec_ContextHit = {"kestrix.ContextHit", sizeof(Box<ContextHit>), 0, kFlagsNoInit,
                               hit_slots};
PyType_Spec spec_Evidence = {"kestrix.Evidence", sizeof(Box<Finding>), 0, kFlagsNoInit,
                             evidence_slots};
PyType_Spec spec_Finding = {"kestrix.Finding", sizeof(Box<Finding>), 0, kFlagsNoInit,
                            finding_slots};
PyType_Spec spec_Rejection = {"kestrix.Rejection", sizeof(Box<Rejection>), 0, kFlagsNoInit,
                              rejection_slots};
PyType_Spec spec_Report = {"kestrix.Report", sizeof(Box<Report>), 0, kFlagsNoInit, report_slots};

// ---- module functions ----------------------------------------------------------------------

PyObject* fn_detect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    bind("detect", args, kwargs, {"text", "config"}, 1, a);
    TextArg text = to_text_arg(a[0], "text", true);
    Config config;
    if (a[1]) {
      expect_instance(a[1], T_Config, "config");
      SharedBorrow<Config> borrow(a[1]);
      config = borrow.value();
    }
    auto report = unlocked(text.view.size(), [&] {
      return text.is_owned ? detect(std::move(text.owned), config) : detect(text.view, config);
    });
    if (!report) throw_core(report.error());
    return make(T_Report, std::move(*report));
  });
}

PyObject* fn_entity_names(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    bind("entity_names", args, kwargs, {}, 0, nullptr);
    return new_str_list(entity_names());
  });
}

}  // namespace kestrix::py
