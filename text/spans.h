// Reading SRT text in place: positions instead of copies. The host keeps a
// str as an array of code points of 1, 2 or 4 bytes; reading that array
// directly spares converting the whole text to UTF-8 and back.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "text/subtitle.h"

namespace brivane::text {

// Text as code points, `width` bytes each (1, 2 or 4); no surrogate pairs
// are combined, every unit is one character.
struct CodePoints {
  const void *data;
  std::size_t size;  // in code points
  int width;
};

// [begin, end) in code points of the text that was read.
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

struct SubtitleSpans {
  Span index, start_time, end_time, text;
};

// Copies out of UTF-8 text read as bytes (spans then count bytes).
inline std::string copy_of(std::string_view utf8, Span s) {
  return std::string(utf8.substr(s.begin, s.end - s.begin));
}
inline Subtitle copy_of(std::string_view utf8, const SubtitleSpans &b) {
  return Subtitle{copy_of(utf8, b.index), copy_of(utf8, b.start_time), copy_of(utf8, b.end_time),
                  copy_of(utf8, b.text)};
}

}  // namespace brivane::text
