// What happened to each sent block of a window, from the reply as the service
// returned it to the text written. The comparison log and the review report
// are both views of these records.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/merge.h"
#include "text/risk.h"

namespace brivane::pipeline {

// A sent block's text at the two stages before the cleanup: in the reply as
// returned, and after the glossary's replacements. Nothing where that stage
// of the reply lacks the block.
struct StageTexts {
  std::optional<std::string> returned;
  std::optional<std::string> after_glossary;
};

// The stage texts of every sent block, found with the merge's own pairing on
// the blocks of each stage (fence lines aside, which belong to no block).
std::vector<StageTexts> stage_texts(const std::vector<text::Subtitle> &sent,
                                    std::string_view returned, std::string_view after_glossary);

struct BlockRecord {
  PairedBlock pair;        // into the reply whose block was used
  bool follow_up = false;  // that reply answered the follow-up request
  // The paired block's text at each stage; a stage not known repeats the
  // next one. Empty when the reply lacks the block.
  std::string returned, after_glossary, final_text;
  // Replacement details whose wrong term is in `returned` and right term in
  // `after_glossary`: the glossary's own edits of this block.
  std::vector<std::size_t> glossary_entries;

  bool missing() const { return pair.reply == PairedBlock::kNone; }
  bool model_changed(const text::Subtitle &sent) const {
    return !missing() && returned != sent.text;
  }
  bool glossary_changed() const { return !missing() && after_glossary != returned; }
  // Kept as sent because the service's content filter stopped the reply.
  bool filtered = false;
  // Numbers, units, negations or sides that differ between the text sent
  // and the text written: what a reviewer must check first.
  std::vector<text::Risk> risks;
  // Remarks a fenced reply made outside its fence, marked on the block the
  // reply ended with.
  bool prose_removed = false;
  bool commentary_removed() const {
    return !missing() && (prose_removed || final_text != after_glossary);
  }
};

// The record of one sent block: `final_block` is the paired reply block as
// the engine read it (null when missing), `details` that reply's
// replacement details.
BlockRecord record_block(const PairedBlock &pair, const text::Subtitle *final_block,
                         const StageTexts &stages, const std::vector<std::string> &details,
                         bool follow_up);

// The review's flags of a block, in this order, decided here alone:
// "missing" (with "filtered" when the content filter stopped the reply), else
// "model", "glossary", "commentary", "timing", "follow_up"; then "risk".
// "model" only where the model's edit shows beyond a removed note: a text
// that is the sent one with the glossary's entries applied was not edited.
std::vector<std::string_view> block_flags(const BlockRecord &record, const text::Subtitle &sent,
                                          const std::vector<std::string> &details);

}  // namespace brivane::pipeline
