// parse_srt_content and render_srt: the shape of what is read, and
// parse -> render -> parse gives the same blocks; reading the same text as
// code points finds the same blocks.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "code_points.h"
#include "fuzz_check.h"
#include "text/srt.h"
#include "text/unicode.h"

using namespace brivane::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::string_view input(reinterpret_cast<const char *>(data), size);
  ParsedSrt first = parse_srt_content(input);
  for (const Subtitle &s : first.subtitles) {
    FUZZ_CHECK(!s.index.empty() && unicode::space_at(s.index, 0) == 0);
    FUZZ_CHECK(s.index.find('\n') == std::string::npos);
    FUZZ_CHECK(!s.text.empty() && unicode::rstrip(s.text).size() == s.text.size());
    FUZZ_CHECK(s.text.find("\n\n") == std::string::npos);
    FUZZ_CHECK(!s.start_time.empty() && !s.end_time.empty());
  }
  for (const std::string &line : first.skipped_first_lines) {
    FUZZ_CHECK(!line.empty() && line.find('\n') == std::string::npos);
  }
  // A second mark left at the start of the first index would be read as
  // the file's own mark next time; written files never start with one.
  bool marked = !first.subtitles.empty() && first.subtitles[0].index.rfind("\xef\xbb\xbf", 0) == 0;
  if (!marked) {
    ParsedSrt again = parse_srt_content(render_srt(first.subtitles));
    FUZZ_CHECK(again.subtitles == first.subtitles);
    FUZZ_CHECK(again.skipped_first_lines.empty());
  }

  Widened wide;
  if (!widen(input, wide)) return 0;
  SrtSpans spans = parse_srt_spans(wide.view());
  check_same_reading(wide, input, spans.subtitles, first.subtitles, spans.skipped_first_lines,
                     first.skipped_first_lines);
  return 0;
}
