// Pairing a window's sent blocks with the blocks of its reply, and what the
// comparison log says about each pair. Python-free: fields arrive as UTF-8.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brivane::pipeline {

struct BlockFields {
  std::string index, start_time, end_time, text;
};

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
};

// Indexes match with surrounding white space ignored on both sides. An
// index sent once takes the reply's last block of that index; an index sent
// k times pairs its n-th occurrence with the reply's n-th block of that
// index, and occurrences beyond the reply's copies stay unpaired.
std::vector<std::size_t> pair_blocks(const std::vector<std::string_view> &sent_indexes,
                                     const std::vector<std::string_view> &reply_indexes);

// A replacement "{wrong} → {right}" belongs to a pair when the wrong term
// occurs in the sent text and the right term in the paired reply's text.
// Details that do not split into exactly two parts at " → " belong nowhere.
std::vector<std::size_t> attribute_replacements(std::string_view sent_text,
                                                std::string_view reply_text,
                                                const std::vector<std::string> &details);

// The whole merge of one window.
std::vector<PairedBlock> merge_window(const std::vector<BlockFields> &sent,
                                      const std::vector<BlockFields> &reply,
                                      const std::vector<std::string> &details);

}  // namespace brivane::pipeline
