// Shared helpers of the fuzz targets: reading structured values from the input bytes and
// turning arbitrary bytes into valid UTF-8 (every text reaching the core is valid UTF-8).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kestrix::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  std::uint8_t byte() {
    if (i_ >= n_) return 0;
    return p_[i_++];
  }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 8) | byte();
    return v;
  }
  std::string_view take(std::size_t n) {
    std::size_t k = n < n_ - i_ ? n : n_ - i_;
    std::string_view s(reinterpret_cast<const char*>(p_ + i_), k);
    i_ += k;
    return s;
  }
  std::string_view rest() { return take(n_ - i_); }
  bool empty() const { return i_ >= n_; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t i_ = 0;
};

// Keeps well-formed sequences (no surrogates, no overlongs) and replaces every other byte by
// a character chosen from it, so short inputs still reach Hangul, full-width forms and digits.
inline std::string valid_utf8(std::string_view in) {
  static const char* const kPool[] = {"0", "1", "-", " ", "*", "O", "l", "@", ".", "가", "일", "팔",
                                      "공", "번", "０", "－", "\u1100", "\u1161", "\u11A8", "\u3000",
                                      "\u00B7", "주민등록번호", "여권", "카드", "x", "a", "A", "("};
  std::string out;
  std::size_t i = 0;
  while (i < in.size()) {
    auto b = static_cast<unsigned char>(in[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    bool ok = len > 0 && i + len <= in.size();
    char32_t c = 0;
    if (ok) {
      c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
      for (std::size_t k = 1; k < len && ok; ++k) {
        auto cb = static_cast<unsigned char>(in[i + k]);
        ok = (cb & 0xC0) == 0x80;
        c = (c << 6) | (cb & 0x3F);
      }
      static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = ok && c >= kMin[len] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    }
    if (ok) {
      out.append(in.substr(i, len));
      i += len;
    } else {
      out += kPool[b % (sizeof kPool / sizeof kPool[0])];
      ++i;
    }
  }
  return out;
}

}  // namespace kestrix::fuzz
