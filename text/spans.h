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

inline char32_t code_point_at(CodePoints text, std::size_t i) {
  switch (text.width) {
    case 1:
      return static_cast<const unsigned char *>(text.data)[i];
    case 2:
      return static_cast<const char16_t *>(text.data)[i];
    default:
      return static_cast<const char32_t *>(text.data)[i];
  }
}

// [begin, end) in code points of the text that was read.
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

struct SubtitleSpans {
  Span index, start_time, end_time, text;
};

// A cue as the lossless reading finds it. `time_line` is the whole line as
// written; `text` may be empty; without an index line `index` is empty.
struct CueSpans {
  bool has_index = false;
  Span index, time_line, start_time, end_time, text;
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
