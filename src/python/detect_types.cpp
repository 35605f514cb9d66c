// ContextHit, Evidence, Finding, Rejection, Report, detect() and entity_names().
#include "detect/describe.hpp"
#include "detect/detect.hpp"
#include "detect/report_json.hpp"
#include "normalize/config.hpp"
#include "python/py.hpp"
#include "span/span_map.hpp"
#include "span/span_text.hpp"

namespace kestrix::py {
namespace {

constexpr char kToJsonDoc[] = "to_json($self)\n--\n\n";

// ---- ContextHit ----------------------------------------------------------------------------

PyGetSetDef hit_getset[] = {
    KX_F(ContextHit, cue, "걸린 단서 낱말."),
    KX_F(ContextHit, distance, "스팬으로부터의 거리(문자)."),
    KX_F(ContextHit, weight, "거리 감쇠가 반영된 무게."),
    KX_END,
};

// ---- Evidence (a view of a Finding) --------------------------------------------------------

PyGetSetDef evidence_getset[] = {
    KX_F(Finding, rule, "걸린 패턴 규칙 이름."),
    KX_G("checksum", (get<Finding, [](const Finding& f) { return new_str(status_name(f.status)); }>),
         "`\"passed\"`, `\"failed\"`, `\"not_applicable\"` 중 하나."),
    KX_G("checksum_reason", (get<Finding, [](const Finding& f) {
           return f.status == ChecksumStatus::not_applicable ? new_str(f.reason) : none();
         }>),
         "검증식이 적용 불가인 사유. 그 외에는 `None`."),
    KX_F(Finding, context_hits, "잡힌 문맥 단서들."),
    KX_F(Finding, normalizations, "이 스팬에 적용된 정규화 규칙들. 이름 오름차순이다."),
    KX_F(Finding, cost, "정규화 비용. 감점 근거다."),
    KX_F(Finding, snapped, "세그먼트 경계 바깥으로 넓혀졌는가."),
    KX_END,
};

// ---- Finding -------------------------------------------------------------------------------

KX_FN(finding_text, 1, "text", "source_text") {
  return new_str(ok(slice(unbox<Finding>(self).source, to_string_view(a[0], "source_text"))));
}

PyMethodDef finding_methods[] = {
    KX_M("text", finding_text,
         "text($self, source_text)\n--\n\n원문에서 이 결과가 가리키는 조각을 잘라 낸다."),
    KX_JSON(kToJsonDoc, Finding),
    KX_END,
};

PyGetSetDef finding_getset[] = {
    KX_G("entity", (get<Finding, entity_of<Finding>>),
         "엔티티 이름. `\"resident\"`, `\"phone\"` 처럼 소문자 스네이크 케이스다."),
    KX_G("entity_label", (get<Finding, label_of<Finding>>), "사람이 읽는 한국어 이름. `\"주민등록번호\"`"),
    KX_F(Finding, source, "**원문** 기준 스팬. 마스킹은 이 구간에 적용된다."),
    KX_F(Finding, normalized, "정규화문 기준 스팬."),
    KX_G("certainty",
         (get<Finding, [](const Finding& f) { return new_str(certainty_name(f.certainty)); }>),
         "`\"possible\"`, `\"probable\"`, `\"certain\"` 중 하나."),
    KX_F(Finding, score, "연속 점수."),
    KX_G("evidence",
         (get<Finding, [](const std::shared_ptr<const Finding>& f) { return part(T_Evidence, f, *f); }>),
         "판정 근거."),
    KX_END,
};

// ---- Rejection -----------------------------------------------------------------------------

PyGetSetDef rejection_getset[] = {
    KX_G("entity", (get<Rejection, entity_of<Rejection>>), nullptr),
    KX_G("entity_label", (get<Rejection, label_of<Rejection>>), nullptr),
    KX_F(Rejection, source, nullptr),
    KX_F(Rejection, score, nullptr),
    KX_G("reason",
         (get<Rejection, [](const Rejection& r) { return new_str(reject_reason_name(r.reason)); }>),
         "`\"checksum_failed\"`, `\"no_context\"`, `\"below_threshold\"`, `\"outranked\"` 중 하나."),
    KX_END,
};

// ---- Report --------------------------------------------------------------------------------

PyGetSetDef report_getset[] = {
    KX_F(Report, findings, "통과한 결과. 원문 위치 오름차순이다."),
    KX_F(Report, rejections, "떨어진 후보."),
    KX_F(Report, normalized_text, "정규화된 텍스트. 판정 근거를 눈으로 확인할 때 쓴다."),
    KX_END,
};

}  // namespace

const ClassDef class_ContextHit = {
    .doc = "문맥 단서 하나가 걸린 기록.",
    KX_BOX(ContextHit), .getset = hit_getset,
};

const ClassDef class_Evidence = {
    .doc = "왜 이 후보가 걸렸는가.",
    KX_BOX_REPR(Finding, (repr<Finding, describe_evidence>)),
    .methods = json_methods<Finding, kToJsonDoc, write_evidence_json>, .getset = evidence_getset,
};

const ClassDef class_Finding = {
    .doc = "탐지 결과 한 건.",
    KX_BOX(Finding), .methods = finding_methods, .getset = finding_getset,
};

const ClassDef class_Rejection = {
    .doc = "형식은 맞았는데 판정에서 떨어진 후보. \"왜 안 걸렸는가\"를 설명한다.",
    KX_BOX(Rejection), .methods = json_methods<Rejection, kToJsonDoc>, .getset = rejection_getset,
};

// len(report) is the number of findings.
const ClassDef class_Report = {
    .doc = "탐지 결과 전체.",
    KX_BOX(Report), .len = length<&Report::findings>, .methods = json_methods<Report, kToJsonDoc>,
    .getset = report_getset,
};

// ---- module functions ----------------------------------------------------------------------

void recycle_report(Report& r) { recycle(std::move(r)); }

KX_FN(fn_detect, 1, "detect", "text", "config") {
  return make_recycling<Report, recycle_report>(T_Report, on_text(a, detect, detect));
}

PyObject* entity_name_list() { return new_list(0, entity_names()); }

}  // namespace kestrix::py
