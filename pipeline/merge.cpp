#include "pipeline/merge.h"

#include <unordered_map>

#include "text/matchers.h"
#include "text/unicode.h"

namespace brivane::pipeline {

std::vector<std::size_t> pair_blocks(const std::vector<std::string_view> &sent_indexes,
                                     const std::vector<std::string_view> &reply_indexes) {
  using text::unicode::strip;
  std::unordered_map<std::string_view, std::vector<std::size_t>> reply_by_index;
  for (std::size_t r = 0; r < reply_indexes.size(); ++r) {
    reply_by_index[strip(reply_indexes[r])].push_back(r);
  }
  std::unordered_map<std::string_view, std::size_t> sent_count;
  for (std::string_view index : sent_indexes) ++sent_count[strip(index)];

  std::unordered_map<std::string_view, std::size_t> seen;
  std::vector<std::size_t> paired(sent_indexes.size(), PairedBlock::kNone);
  for (std::size_t s = 0; s < sent_indexes.size(); ++s) {
    std::string_view key = strip(sent_indexes[s]);
    std::size_t occurrence = seen[key]++;
    auto found = reply_by_index.find(key);
    if (found == reply_by_index.end()) continue;
    const std::vector<std::size_t> &copies = found->second;
    if (sent_count[key] == 1) {
      paired[s] = copies.back();
    } else if (occurrence < copies.size()) {
      paired[s] = copies[occurrence];
    }
  }
  return paired;
}

namespace {
bool contains(std::string_view hay, std::string_view needle) {
  return text::match::find(hay, needle) != text::match::npos;
}
}  // namespace

std::vector<std::size_t> attribute_replacements(std::string_view sent_text,
                                                std::string_view reply_text,
                                                const std::vector<std::string> &details) {
  static constexpr std::string_view kSeparator = " → ";
  std::vector<std::size_t> attributed;
  for (std::size_t d = 0; d < details.size(); ++d) {
    std::string_view detail = details[d];
    std::size_t at = text::match::find(detail, kSeparator);
    if (at == text::match::npos) continue;
    std::size_t rest = at + kSeparator.size();
    if (text::match::find(detail, kSeparator, rest) != text::match::npos) continue;
    if (contains(sent_text, detail.substr(0, at)) && contains(reply_text, detail.substr(rest))) {
      attributed.push_back(d);
    }
  }
  return attributed;
}

std::vector<PairedBlock> merge_window(const std::vector<BlockFields> &sent,
                                      const std::vector<BlockFields> &reply,
                                      const std::vector<std::string> &details) {
  std::vector<std::string_view> sent_indexes, reply_indexes;
  for (const BlockFields &b : sent) sent_indexes.push_back(b.index);
  for (const BlockFields &b : reply) reply_indexes.push_back(b.index);
  std::vector<std::size_t> paired = pair_blocks(sent_indexes, reply_indexes);

  std::vector<PairedBlock> merged(sent.size());
  for (std::size_t s = 0; s < sent.size(); ++s) {
    if (paired[s] == PairedBlock::kNone) continue;
    const BlockFields &r = reply[paired[s]];
    merged[s].reply = paired[s];
    merged[s].timing_changed =
        r.start_time != sent[s].start_time || r.end_time != sent[s].end_time;
    merged[s].replacements = attribute_replacements(sent[s].text, r.text, details);
  }
  return merged;
}

}  // namespace brivane::pipeline
