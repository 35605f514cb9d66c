#include "span/builder.hpp"

#include <mutex>
#include <set>

#include "text/utf8.hpp"

namespace kestrix {
namespace {

enum class Bump { replaced, expanded, whitespace, separator, none };

void emit(Builder& b, std::string_view src, std::string_view dst, std::string_view rule, Bump bump) {
  if (src.empty()) return;
  std::uint32_t n = static_cast<std::uint32_t>(src.size());
  std::uint32_t k = utf8::count_chars(src);
  std::uint32_t m = static_cast<std::uint32_t>(dst.size());
  std::uint32_t j = utf8::count_chars(dst);
  Segment s;
  s.src = {b.sb, b.sb + n, b.sc, b.sc + k};
  s.dst = {b.db, b.db + m, b.dc, b.dc + j};
  b.sb += n;
  b.sc += k;
  b.out.append(dst);
  b.db += m;
  b.dc += j;
  s.kind = m == 0 ? SegmentKind::del : j > k ? SegmentKind::expand : SegmentKind::replace;
  std::uint16_t c = clamp16(k);
  switch (bump) {
    case Bump::replaced: s.cost.replaced_chars = c; break;
    case Bump::expanded: s.cost.expanded_syllables = c; break;
    case Bump::whitespace: s.cost.absorbed_whitespace = c; break;
    case Bump::separator: s.cost.absorbed_separators = c; break;
    case Bump::none: break;
  }
  s.rules.push_back(rule);
  b.segments.push_back(std::move(s));
}

}  // namespace

void reserve(Builder& b, std::size_t bytes) { b.out.reserve(bytes); }

void keep(Builder& b, std::string_view text) { keep(b, text, utf8::count_chars(text)); }

void keep(Builder& b, std::string_view text, std::uint32_t k) {
  if (text.empty()) return;
  std::uint32_t n = static_cast<std::uint32_t>(text.size());
  Span src{b.sb, b.sb + n, b.sc, b.sc + k};
  Span dst{b.db, b.db + n, b.dc, b.dc + k};
  b.out.append(text);
  b.sb += n;
  b.sc += k;
  b.db += n;
  b.dc += k;
  if (!b.segments.empty() && b.segments.back().kind == SegmentKind::identity) {
    Segment& last = b.segments.back();
    last.src.byte_end = src.byte_end;
    last.src.char_end = src.char_end;
    last.dst.byte_end = dst.byte_end;
    last.dst.char_end = dst.char_end;
    return;
  }
  b.segments.push_back(Segment{{}, src, dst, {}, SegmentKind::identity});
}

void replace(Builder& b, std::string_view src, std::string_view dst, std::string_view rule) {
  emit(b, src, dst, rule, Bump::replaced);
}

void numeral(Builder& b, std::string_view src, std::string_view dst, std::string_view rule) {
  emit(b, src, dst, rule, Bump::expanded);
}

void absorb(Builder& b, std::string_view src, std::string_view rule, AbsorbClass cls) {
  emit(b, src, {}, rule,
       cls == AbsorbClass::whitespace  ? Bump::whitespace
       : cls == AbsorbClass::separator ? Bump::separator
                                       : Bump::none);
}

void insert(Builder& b, std::string_view dst, std::string_view rule) {
  if (dst.empty()) return;
  std::uint32_t m = static_cast<std::uint32_t>(dst.size());
  std::uint32_t j = utf8::count_chars(dst);
  Segment s;
  s.src = {b.sb, b.sb, b.sc, b.sc};
  s.dst = {b.db, b.db + m, b.dc, b.dc + j};
  s.kind = SegmentKind::expand;
  s.rules.push_back(rule);
  b.out.append(dst);
  b.db += m;
  b.dc += j;
  b.segments.push_back(std::move(s));
}

std::pair<std::string, SpanMap> finish(Builder& b) {
  SpanMap map{std::move(b.segments)};
  std::string out = std::move(b.out);
  b = Builder{};
  return {std::move(out), std::move(map)};
}

std::string_view intern_rule(std::string_view name) {
  // Node-based set: stored strings never move, so views into them stay valid.
  static std::mutex mu;
  static std::set<std::string, std::less<>>* names = new std::set<std::string, std::less<>>();
  std::lock_guard lock(mu);
  auto it = names->find(name);
  if (it == names->end()) it = names->emplace(name).first;
  return *it;
}

}  // namespace kestrix
