// The mask pass with findings that detection never hands over: overlapping, reversed, past the
// end or cutting a character. Applied findings keep their order as the skipped ones are taken
// out from among them.
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "mask/mask.hpp"

using namespace kestrix;

namespace {

Finding at(std::uint32_t start, std::uint32_t end, Entity e = Entity::phone) {
  Finding f;
  f.source = {start, end, start, end};
  f.entity = e;
  return f;
}

std::string spans(const std::vector<Finding>& fs) {
  std::string s;
  for (const Finding& f : fs)
    s += std::to_string(f.source.byte_start) + "-" + std::to_string(f.source.byte_end) + " ";
  return s;
}

}  // namespace

KX_TEST(mask_pass_skips_among_applied_findings_in_order) {
  const std::string text = "0123456789abcdef";
  PolicySet fill{Policy::redact_fill(U'#'), {}};
  // Out of order on purpose; sorted by start, then end: 0-3, 2-5 (reaches past it: masked
  // from 3 on), 6-8, 7-7 (wholly inside), 9-20 (past the end), 10-12, 13-11 (reversed), 14-16.
  std::vector<Finding> fs = {at(6, 8), at(0, 3), at(2, 5), at(7, 7), at(9, 20),
                             at(10, 12), at(13, 11), at(14, 16)};
  MaskOutput out = mask_findings(text, fs, fill);
  KX_CHECK_STR(spans(out.applied), "0-3 2-5 6-8 10-12 14-16 ");
  KX_CHECK_STR(spans(out.skipped), "7-7 9-20 13-11 ");
  KX_CHECK_STR(out.text, "#####5##89##cd##");
}

KX_TEST(mask_pass_never_cuts_a_character) {
  const std::string text = "가나다";  // three bytes each
  PolicySet fill{Policy::redact_fill(U'#'), {}};
  MaskOutput out = mask_findings(text, {at(1, 3), at(3, 6)}, fill);
  KX_CHECK_STR(spans(out.applied), "3-6 ");
  KX_CHECK_STR(spans(out.skipped), "1-3 ");
  KX_CHECK_STR(out.text, "가#다");
}

KX_TEST(mask_pass_leaves_the_text_out_only_when_asked) {
  const std::string text = "가나다 0123";
  PolicySet fill{Policy::redact_fill(U'#'), {}};
  KX_CHECK_STR(mask_findings(text, {}, fill).text, text);
  KX_CHECK(mask_findings(text, {}, fill, MaskedText::unless_unchanged).text.empty());
  // Everything skipped is nothing applied.
  KX_CHECK(mask_findings(text, {at(1, 2)}, fill, MaskedText::unless_unchanged).text.empty());
  KX_CHECK_STR(mask_findings(text, {at(10, 12)}, fill, MaskedText::unless_unchanged).text, "가나다 ##23");
  // Only the replacements, each ending where rendered_ends says.
  MaskOutput parts = mask_findings(text, {at(0, 3), at(10, 11), at(12, 14)}, fill, MaskedText::replacements);
  KX_CHECK_STR(parts.text, "####");
  KX_CHECK(parts.rendered_ends == (std::vector<std::size_t>{1, 2, 4}));
  KX_CHECK(mask_findings(text, {}, fill, MaskedText::replacements).text.empty());
}

KX_TEST(mask_pass_applies_an_empty_span_outside_the_others) {
  const std::string text = "0123456789";
  PolicySet fixed{Policy::redact_fixed("<>"), {}};
  // An empty span is not reversed: its replacement goes in where it stands, unless it lies
  // inside an applied span.
  for (MaskedText made : {MaskedText::whole, MaskedText::replacements}) {
    MaskOutput out = mask_findings(text, {at(0, 2), at(2, 2), at(5, 5), at(9, 10)}, fixed, made);
    KX_CHECK_STR(spans(out.applied), "0-2 2-2 5-5 9-10 ");
    KX_CHECK_STR(out.text, made == MaskedText::whole ? "<><>234<>5678<>" : "<><><><>");
  }
}
