#include "text/srt.h"

#include "text/matchers.h"
#include "text/unicode.h"

namespace brivane::text {

namespace {

// The first two LFs of a block, splitting it into line 1, line 2 and the
// rest; false when the block has fewer than three lines.
bool split_head(std::string_view block, std::size_t &lf1, std::size_t &lf2) {
  lf1 = block.find('\n');
  if (lf1 == std::string_view::npos) return false;
  lf2 = block.find('\n', lf1 + 1);
  return lf2 != std::string_view::npos;
}

}  // namespace

ParsedSrt parse_srt_content(std::string_view content) {
  ParsedSrt result;
  for (std::string_view candidate : match::split_blocks(unicode::strip(content))) {
    std::string_view block = unicode::strip(candidate);
    std::size_t lf1, lf2;
    if (!split_head(block, lf1, lf2)) {
      if (!block.empty()) result.skipped_first_lines.emplace_back(block.substr(0, lf1));
      continue;
    }
    std::string_view index = block.substr(0, lf1);
    auto stamps = match::match_time_line(block.substr(lf1 + 1, lf2 - lf1 - 1));
    if (!stamps) {
      result.skipped_first_lines.emplace_back(index);
      continue;
    }
    result.subtitles.push_back(Subtitle{std::string(index), std::string(stamps->start),
                                        std::string(stamps->end),
                                        std::string(block.substr(lf2 + 1))});
  }
  return result;
}

void append_srt_block(std::string &out, std::string_view index, std::string_view start_time,
                      std::string_view end_time, std::string_view text) {
  out.reserve(out.size() + index.size() + start_time.size() + end_time.size() + text.size() + 9);
  out.append(index);
  out.push_back('\n');
  out.append(start_time);
  out.append(" --> ");
  out.append(end_time);
  out.push_back('\n');
  out.append(text);
  out.append("\n\n");
}

std::string render_srt(const std::vector<Subtitle> &subtitles) {
  std::size_t total = 0;
  for (const Subtitle &s : subtitles) {
    total += s.index.size() + s.start_time.size() + s.end_time.size() + s.text.size() + 9;
  }
  std::string out;
  out.reserve(total);
  for (const Subtitle &s : subtitles) append_srt_block(out, s.index, s.start_time, s.end_time, s.text);
  return out;
}

}  // namespace brivane::text
