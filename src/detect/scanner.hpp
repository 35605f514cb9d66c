// Candidate scanners over normalized text: e-mail addresses, passport shapes and digit runs.
// Every character class they use is ASCII, so they walk bytes: a byte >= 0x80 belongs to a
// non-ASCII character and is never a letter, digit or mask. Each list is in text order and
// never overlaps itself. All run in time linear in the text.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "span/span.hpp"

namespace kestrix::det {

void scan_emails(std::string_view text, std::vector<Span>& out);
void scan_passports(std::string_view text, std::vector<Span>& out);
// Maximal runs of digits and mask characters holding at least two digits, of those the ones
// whose length lies within [min_len, max_len].
void scan_digit_runs(std::string_view text, std::vector<Span>& out, std::size_t min_len,
                     std::size_t max_len);

// The digit array of a run ("0".."9" -> 0..9, "*"/"X"/"x" -> 10) and its text form (masks
// written as "*"), into buffers of at least run.size() elements.
void digit_array(std::string_view run, std::uint8_t* digits, char* text_form);

}  // namespace kestrix::det
