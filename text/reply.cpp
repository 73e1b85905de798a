#include "text/reply.h"

#include "text/matchers.h"
#include "text/scan.h"
#include "text/unicode.h"

namespace brivane::text {

CleanedReply remove_annotations(std::string_view received) {
  // Models often wrap the blocks in a markdown fence; its closing line, and
  // any remark after it, would otherwise end up in the last subtitle.
  std::string_view fenced = match::fenced_part(received);
  std::string unfenced;
  std::string_view reply = match::remove_fence_lines(fenced, unfenced) ? unfenced : fenced;
  std::string text = match::remove_notes_and_collapse(match::cut_at_markers(reply));
  std::vector<std::string_view> blocks = match::find_blocks(text, match::BlockShape::kStrict);
  if (blocks.empty()) blocks = match::find_blocks(text, match::BlockShape::kLoose);
  CleanedReply result;
  if (blocks.empty()) {
    // Nothing recognisable: hand back the reply as received, cuts undone.
    result.text = std::string(unicode::strip(reply));
    result.fell_back = true;
    return result;
  }
  // Blocks that follow one another with just "\n\n" between them (the
  // usual case) join into the stretch of text they already occupy.
  bool adjacent = true;
  for (std::size_t i = 1; i < blocks.size() && adjacent; ++i) {
    adjacent = blocks[i].data() == blocks[i - 1].data() + blocks[i - 1].size() + 2;
  }
  if (adjacent) {
    std::string_view all(blocks.front().data(),
                         static_cast<std::size_t>(blocks.back().data() + blocks.back().size() -
                                                  blocks.front().data()));
    result.text = std::string(unicode::strip(all));
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
  ExtractedBlocks result;
  scan::reply_blocks(
      scan::Text<scan::Utf8>(reply.data(), reply.size()),
      [&](const SubtitleSpans &b) { result.subtitles.push_back(copy_of(reply, b)); },
      [&](Span time_line) { result.invalid_time_lines.push_back(copy_of(reply, time_line)); });
  return result;
}

ReplySpans extract_block_spans(CodePoints reply) {
  ReplySpans result;
  scan::with_code_points(reply, [&](const auto &text) {
    scan::reply_blocks(
        text, [&](const SubtitleSpans &b) { result.subtitles.push_back(b); },
        [&](Span time_line) { result.invalid_time_lines.push_back(time_line); });
  });
  return result;
}

}  // namespace brivane::text
