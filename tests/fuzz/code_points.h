// Valid UTF-8 decoded into the host's code-point layouts, to check that the
// in-place readers agree with the UTF-8 ones.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "text/spans.h"
#include "text/subtitle.h"
#include "text/unicode.h"

struct Widened {
  std::vector<std::uint8_t> u8;
  std::vector<std::uint16_t> u16;
  std::vector<std::uint32_t> u32;
  std::vector<std::size_t> offsets;  // byte offset of each code point, plus the end
  int width = 1;

  brivane::text::CodePoints view() const {
    if (width == 1) return {u8.data(), u8.size(), 1};
    if (width == 2) return {u16.data(), u16.size(), 2};
    return {u32.data(), u32.size(), 4};
  }
  // The UTF-8 text of a span.
  std::string_view bytes(std::string_view utf8, brivane::text::Span s) const {
    return utf8.substr(offsets[s.begin], offsets[s.end] - offsets[s.begin]);
  }
};

// False for malformed UTF-8. Uses the narrowest layout that holds every
// code point, as the host does.
inline bool widen(std::string_view utf8, Widened &out) {
  std::vector<char32_t> cps;
  for (std::size_t i = 0; i < utf8.size();) {
    auto d = brivane::text::unicode::decode(utf8, i);
    if (d.cp == brivane::text::unicode::kInvalid) return false;
    out.offsets.push_back(i);
    cps.push_back(d.cp);
    i += d.len;
  }
  out.offsets.push_back(utf8.size());
  char32_t max = 0;
  for (char32_t c : cps) max = c > max ? c : max;
  out.width = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
  for (char32_t c : cps) {
    if (out.width == 1)
      out.u8.push_back(static_cast<std::uint8_t>(c));
    else if (out.width == 2)
      out.u16.push_back(static_cast<std::uint16_t>(c));
    else
      out.u32.push_back(c);
  }
  return true;
}

// The code-point reader found the same blocks and the same reported lines
// as the UTF-8 reader.
inline void check_same_reading(const Widened &wide, std::string_view input,
                               const std::vector<brivane::text::SubtitleSpans> &spans,
                               const std::vector<brivane::text::Subtitle> &expected,
                               const std::vector<brivane::text::Span> &line_spans,
                               const std::vector<std::string> &expected_lines) {
  FUZZ_CHECK(spans.size() == expected.size());
  for (std::size_t i = 0; i < spans.size(); ++i) {
    FUZZ_CHECK(wide.bytes(input, spans[i].index) == expected[i].index);
    FUZZ_CHECK(wide.bytes(input, spans[i].start_time) == expected[i].start_time);
    FUZZ_CHECK(wide.bytes(input, spans[i].end_time) == expected[i].end_time);
    FUZZ_CHECK(wide.bytes(input, spans[i].text) == expected[i].text);
  }
  FUZZ_CHECK(line_spans.size() == expected_lines.size());
  for (std::size_t i = 0; i < line_spans.size(); ++i) {
    FUZZ_CHECK(wide.bytes(input, line_spans[i]) == expected_lines[i]);
  }
}
