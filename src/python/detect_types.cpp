// ContextHit, Evidence, Finding, Rejection, Report, detect() and entity_names().
#include "python/placeholder.hpp"

namespace kestrix::py {
KX_PLACEHOLDER_SPEC(ContextHit, "문맥 단서 하나가 걸린 기록.")
KX_PLACEHOLDER_SPEC(Evidence, "왜 이 후보가 걸렸는가.")
KX_PLACEHOLDER_SPEC(Finding, "탐지 결과 한 건.")
KX_PLACEHOLDER_SPEC(Rejection, "형식은 맞았는데 판정에서 떨어진 후보.")
KX_PLACEHOLDER_SPEC(Report, "탐지 결과 전체.")
KX_PLACEHOLDER_FN(detect)
KX_PLACEHOLDER_FN(entity_names)
}  // namespace kestrix::py
