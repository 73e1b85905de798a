// Cleaning model replies: annotation stripping and block extraction.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "text/spans.h"
#include "text/subtitle.h"

namespace brivane::text {

struct CleanedReply {
  std::string text;
  // True when no block pattern matched and the trimmed input came back
  // (the caller logs a warning then).
  bool fell_back = false;
};

// Markdown fence lines, cut markers, the 24 annotation patterns, the
// "\n{3,}" collapse, then the strict or loose block patterns; exact `re`
// semantics. O(n).
CleanedReply remove_annotations(std::string_view reply);

// Split like the SRT reader, then read index/time/text loosely; as
// positions in `reply`. O(n).
struct ReplySpans {
  std::vector<SubtitleSpans> subtitles;
  std::vector<Span> invalid_time_lines;
};
ReplySpans extract_block_spans(CodePoints reply);

struct ExtractedBlocks {
  std::vector<Subtitle> subtitles;
  // Line 2 of every block whose time line does not split into exactly two
  // parts at " --> ", in order.
  std::vector<std::string> invalid_time_lines;
};

// extract_block_spans on UTF-8 text, as copies (the review reads the
// earlier stages of a reply this way).
ExtractedBlocks extract_blocks(std::string_view reply);

}  // namespace brivane::text
