// Config, Normalized and normalize().
#include "python/placeholder.hpp"

namespace kestrix::py {
KX_PLACEHOLDER_SPEC(Config, "정규화와 탐지 전체를 아우르는 설정.")
KX_PLACEHOLDER_SPEC(Normalized, "정규화 결과. 정규화문과 원문을 잇는 매핑을 함께 낸다.")
KX_PLACEHOLDER_FN(normalize)
}  // namespace kestrix::py
