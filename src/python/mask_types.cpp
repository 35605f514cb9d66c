// Policy, PolicySet, RestoreEntry, RestoreMap, MaskOutput, mask() and unmask().
#include "python/placeholder.hpp"

namespace kestrix::py {
KX_PLACEHOLDER_SPEC(Policy, "마스킹 정책. 정적 생성자로 만든다.")
KX_PLACEHOLDER_SPEC(PolicySet, "엔티티별 정책 묶음.")
KX_PLACEHOLDER_SPEC(RestoreEntry, "토큰 하나와 그것이 대신한 원문 조각.")
KX_PLACEHOLDER_SPEC(RestoreMap, "토큰과 원문을 잇는 표.")
KX_PLACEHOLDER_SPEC(MaskOutput, "마스킹 결과.")
KX_PLACEHOLDER_FN(mask)
KX_PLACEHOLDER_FN(unmask)
}  // namespace kestrix::py
