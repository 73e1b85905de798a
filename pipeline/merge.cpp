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

std::vector<std::string_view> realigned_indexes(const std::vector<BlockKey> &sent,
                                                const std::vector<BlockKey> &reply) {
  using text::unicode::strip;
  struct Timing {
    std::string_view start, end;
    bool operator==(const Timing &o) const { return start == o.start && end == o.end; }
  };
  struct TimingHash {
    std::size_t operator()(const Timing &t) const {
      std::hash<std::string_view> h;
      return h(t.start) * 31 + h(t.end);
    }
  };
  auto timing = [](const BlockKey &b) { return Timing{b.start_time, b.end_time}; };
  // Sent positions by index and by timing.
  std::unordered_map<std::string_view, std::vector<std::size_t>> sent_by_index;
  std::unordered_map<Timing, std::vector<std::size_t>, TimingHash> sent_by_timing;
  for (std::size_t s = 0; s < sent.size(); ++s) {
    sent_by_index[strip(sent[s].index)].push_back(s);
    sent_by_timing[timing(sent[s])].push_back(s);
  }
  auto names_own_timing = [&](const BlockKey &r) {
    auto named = sent_by_index.find(strip(r.index));
    if (named == sent_by_index.end()) return false;
    for (std::size_t s : named->second) {
      if (timing(sent[s]) == timing(r)) return true;
    }
    return false;
  };
  // Sent blocks that a reply block names with their own timing.
  std::vector<bool> claimed(sent.size(), false);
  for (const BlockKey &r : reply) {
    if (!names_own_timing(r)) continue;
    for (std::size_t s : sent_by_index[strip(r.index)]) {
      if (timing(sent[s]) == timing(r)) claimed[s] = true;
    }
  }
  std::vector<std::string_view> indexes;
  indexes.reserve(reply.size());
  for (const BlockKey &r : reply) {
    std::string_view index = r.index;
    if (!names_own_timing(r)) {
      auto same = sent_by_timing.find(timing(r));
      if (same != sent_by_timing.end() && same->second.size() == 1 && !claimed[same->second[0]]) {
        index = sent[same->second[0]].index;
      }
    }
    indexes.push_back(index);
  }
  return indexes;
}

std::vector<std::size_t> pair_by_index_and_timing(const std::vector<BlockKey> &sent,
                                                  const std::vector<BlockKey> &reply) {
  std::vector<std::string_view> sent_indexes;
  for (const BlockKey &b : sent) sent_indexes.push_back(b.index);
  return pair_blocks(sent_indexes, realigned_indexes(sent, reply));
}

namespace {
bool contains(std::string_view hay, std::string_view needle) {
  return text::match::find(hay, needle) != text::match::npos;
}

std::u32string code_points(std::string_view utf8) {
  std::u32string out;
  for (std::size_t at = 0; at < utf8.size();) {
    text::unicode::Decoded d = text::unicode::decode(utf8, at);
    out.push_back(d.cp);
    at += d.len;
  }
  return out;
}

// `reply`, the reply to a block whose own text was `own`, holds its
// neighbour's text `sent` too: as written, or with a few characters replaced
// (the model's and the glossary's term fixes keep a text's length) in a reply
// long enough for both texts.
bool holds_text_of(std::string_view reply, std::string_view own, std::string_view sent) {
  if (contains(reply, sent)) return true;
  std::u32string r = code_points(reply), s = code_points(sent);
  if (s.size() < 4 || r.size() < code_points(own).size() + s.size() * 3 / 4) return false;
  std::size_t allowed = s.size() / 4;
  for (std::size_t at = 0; at + s.size() <= r.size(); ++at) {
    std::size_t differing = 0;
    for (std::size_t k = 0; k < s.size() && differing <= allowed; ++k) {
      differing += r[at + k] != s[k];
    }
    if (differing <= allowed) return true;
  }
  return false;
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

std::vector<PairedBlock> merge_window(const std::vector<text::Subtitle> &sent,
                                      const std::vector<text::Subtitle> &reply,
                                      const std::vector<std::string> &details) {
  std::vector<BlockKey> sent_keys, reply_keys;
  for (const text::Subtitle &b : sent) sent_keys.push_back({b.index, b.start_time, b.end_time});
  for (const text::Subtitle &b : reply) reply_keys.push_back({b.index, b.start_time, b.end_time});
  std::vector<std::size_t> paired = pair_by_index_and_timing(sent_keys, reply_keys);

  // A reply block holding the whole text of a lacking neighbour merged the
  // two: its text would repeat once that neighbour is written as sent.
  std::vector<std::size_t> swallowed;
  for (std::size_t s = 0; s < sent.size(); ++s) {
    if (paired[s] != PairedBlock::kNone || sent[s].text.empty()) continue;
    for (std::size_t n : {s - 1, s + 1}) {
      if (n < sent.size() && paired[n] != PairedBlock::kNone &&
          holds_text_of(reply[paired[n]].text, sent[n].text, sent[s].text)) {
        swallowed.push_back(n);
      }
    }
  }
  for (std::size_t n : swallowed) paired[n] = PairedBlock::kNone;

  std::vector<PairedBlock> merged(sent.size());
  for (std::size_t s = 0; s < sent.size(); ++s) {
    if (paired[s] == PairedBlock::kNone) continue;
    const text::Subtitle &r = reply[paired[s]];
    merged[s].reply = paired[s];
    merged[s].timing_changed =
        r.start_time != sent[s].start_time || r.end_time != sent[s].end_time;
    merged[s].replacements = attribute_replacements(sent[s].text, r.text, details);
    if (text::unicode::strip(r.index) != text::unicode::strip(sent[s].index)) {
      merged[s].renumbered_from = r.index;
    }
  }
  return merged;
}

}  // namespace brivane::pipeline
