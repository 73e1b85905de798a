#include "text/reply.h"

#include "text/matchers.h"
#include "text/unicode.h"

namespace brivane::text {

CleanedReply remove_annotations(std::string_view reply) {
  std::string text = match::collapse_newlines(match::remove_notes(match::cut_at_markers(reply)));
  std::vector<std::string_view> blocks = match::find_blocks(text, match::BlockShape::kStrict);
  if (blocks.empty()) blocks = match::find_blocks(text, match::BlockShape::kLoose);
  CleanedReply result;
  if (blocks.empty()) {
    // Nothing recognisable: hand back the reply as received, cuts undone.
    result.text = std::string(unicode::strip(reply));
    result.fell_back = true;
    return result;
  }
  std::size_t total = 0;
  for (std::string_view b : blocks) total += b.size() + 2;
  std::string joined;
  joined.reserve(total);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i) joined.append("\n\n");
    joined.append(blocks[i]);
  }
  result.text = std::string(unicode::strip(joined));
  return result;
}

ExtractedBlocks extract_blocks(std::string_view reply) {
  static constexpr std::string_view kArrow = " --> ";
  ExtractedBlocks result;
  for (std::string_view candidate : match::split_blocks(unicode::strip(reply))) {
    std::string_view block = unicode::strip(candidate);
    std::size_t lf1 = block.find('\n');
    if (lf1 == std::string_view::npos) continue;
    std::size_t lf2 = block.find('\n', lf1 + 1);
    if (lf2 == std::string_view::npos) continue;
    std::string_view time_line = block.substr(lf1 + 1, lf2 - lf1 - 1);
    // str.split(" --> ") must give exactly two parts: one occurrence,
    // counting non-overlapping occurrences from the left.
    std::size_t arrow = match::find(time_line, kArrow);
    if (arrow == match::npos ||
        match::find(time_line, kArrow, arrow + kArrow.size()) != match::npos) {
      result.invalid_time_lines.emplace_back(time_line);
      continue;
    }
    result.subtitles.push_back(
        Subtitle{std::string(unicode::strip(block.substr(0, lf1))),
                 std::string(unicode::strip(time_line.substr(0, arrow))),
                 std::string(unicode::strip(time_line.substr(arrow + kArrow.size()))),
                 std::string(block.substr(lf2 + 1))});
  }
  return result;
}

}  // namespace brivane::text
