// extract_blocks: trimmed fields, rendering what was extracted reads back
// the same (unless a stamp holds "-->", which may re-split), and reading the
// text as code points finds the same blocks.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "code_points.h"
#include "fuzz_check.h"
#include "text/reply.h"
#include "text/srt.h"
#include "text/unicode.h"

using namespace brivane::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::string_view input(reinterpret_cast<const char *>(data), size);
  ExtractedBlocks first = extract_blocks(input);
  bool arrows_in_stamps = false;
  for (const Subtitle &s : first.subtitles) {
    FUZZ_CHECK(!s.index.empty() && unicode::strip(s.index) == s.index);
    FUZZ_CHECK(unicode::strip(s.start_time) == s.start_time);
    FUZZ_CHECK(unicode::strip(s.end_time) == s.end_time);
    FUZZ_CHECK(!s.text.empty() && unicode::rstrip(s.text).size() == s.text.size());
    arrows_in_stamps |= s.start_time.find("-->") != std::string::npos ||
                        s.end_time.find("-->") != std::string::npos;
  }
  for (const std::string &line : first.invalid_time_lines) {
    FUZZ_CHECK(line.find('\n') == std::string::npos);
  }
  if (!arrows_in_stamps) {
    ExtractedBlocks again = extract_blocks(render_srt(first.subtitles));
    FUZZ_CHECK(again.subtitles == first.subtitles);
    FUZZ_CHECK(again.invalid_time_lines.empty());
  }

  Widened wide;
  if (!widen(input, wide)) return 0;
  ReplySpans spans = extract_block_spans(wide.view());
  check_same_reading(wide, input, spans.subtitles, first.subtitles, spans.invalid_time_lines,
                     first.invalid_time_lines);
  return 0;
}
