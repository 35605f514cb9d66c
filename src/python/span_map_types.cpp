// Segment, SpanMap and SpanMapBuilder.
#include "python/placeholder.hpp"

namespace kestrix::py {
KX_PLACEHOLDER_SPEC(Segment, "정규화 한 조각. 연속한 항등 구간은 하나로 접혀 있다.")
KX_PLACEHOLDER_SPEC(SpanMap, "원문과 정규화문을 잇는 단조 구간 정렬 테이블.")
KX_PLACEHOLDER_SPEC(SpanMapBuilder, "정규화 패스가 출력 문자열과 [`PySpanMap`] 을 동시에 만드는 빌더.")
}  // namespace kestrix::py
