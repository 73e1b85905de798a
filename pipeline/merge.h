// Pairing a window's sent blocks with the blocks of its reply, and what the
// comparison log says about each pair. Python-free: fields arrive as UTF-8.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "text/subtitle.h"

namespace brivane::pipeline {

// One entry per sent block, in window order.
struct PairedBlock {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Position of the reply block whose text is written, or kNone when the
  // reply lacks this block (it is then kept as sent).
  std::size_t reply = kNone;
  // The paired reply block carries other timestamps than were sent.
  bool timing_changed = false;
  // Positions in the replacement details attributed to this pair.
  std::vector<std::size_t> replacements;
  // The reply labelled this block with another index (its own timing told
  // which block it is); that index, else empty.
  std::string renumbered_from;
};

// Indexes match with surrounding white space ignored on both sides. An
// index sent once takes the reply's last block of that index; an index sent
// k times pairs its n-th occurrence with the reply's n-th block of that
// index, and occurrences beyond the reply's copies stay unpaired.
std::vector<std::size_t> pair_blocks(const std::vector<std::string_view> &sent_indexes,
                                     const std::vector<std::string_view> &reply_indexes);

// A block as the pairing reads it.
struct BlockKey {
  std::string_view index, start_time, end_time;
};

// The reply block's index as the pairing takes it. A reply that renumbers
// its blocks keeps their timings: a reply block whose timing differs from
// every sent block of its index, and equals the timing of exactly one other
// sent block, which no reply block of that block's own index and timing
// claims, is taken as that block.
std::vector<std::string_view> realigned_indexes(const std::vector<BlockKey> &sent,
                                                const std::vector<BlockKey> &reply);

// pair_blocks on the realigned indexes.
std::vector<std::size_t> pair_by_index_and_timing(const std::vector<BlockKey> &sent,
                                                  const std::vector<BlockKey> &reply);

// A replacement "{wrong} → {right}" belongs to a pair when the wrong term
// occurs in the sent text and the right term in the paired reply's text.
// Details that do not split into exactly two parts at " → " belong nowhere.
std::vector<std::size_t> attribute_replacements(std::string_view sent_text,
                                                std::string_view reply_text,
                                                const std::vector<std::string> &details);

// The whole merge of one window. A reply block that swallowed the whole
// text of a neighbouring block the reply lacks is not trusted either: both
// count as missing.
std::vector<PairedBlock> merge_window(const std::vector<text::Subtitle> &sent,
                                      const std::vector<text::Subtitle> &reply,
                                      const std::vector<std::string> &details);

}  // namespace brivane::pipeline
