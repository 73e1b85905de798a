#include "pipeline/block_record.h"

#include "text/matchers.h"
#include "text/reply.h"
#include "text/terms.h"

namespace brivane::pipeline {
namespace {

// Each stage's block text for every sent block, by the merge's pairing.
std::vector<std::optional<std::string>> texts_at_stage(const std::vector<BlockKey> &sent,
                                                       std::string_view stage) {
  std::string unfenced;
  std::string_view text = text::match::remove_fence_lines(stage, unfenced) ? unfenced : stage;
  std::vector<text::Subtitle> blocks = text::extract_blocks(text).subtitles;
  std::vector<BlockKey> keys;
  for (const text::Subtitle &b : blocks) keys.push_back({b.index, b.start_time, b.end_time});
  std::vector<std::size_t> paired = pair_by_index_and_timing(sent, keys);
  std::vector<std::optional<std::string>> texts(sent.size());
  for (std::size_t s = 0; s < sent.size(); ++s) {
    if (paired[s] != PairedBlock::kNone) texts[s] = std::move(blocks[paired[s]].text);
  }
  return texts;
}

}  // namespace

std::vector<StageTexts> stage_texts(const std::vector<text::Subtitle> &sent,
                                    std::string_view returned, std::string_view after_glossary) {
  std::vector<BlockKey> indexes;
  for (const text::Subtitle &b : sent) indexes.push_back({b.index, b.start_time, b.end_time});
  std::vector<std::optional<std::string>> first = texts_at_stage(indexes, returned);
  std::vector<std::optional<std::string>> second = texts_at_stage(indexes, after_glossary);
  std::vector<StageTexts> stages(sent.size());
  for (std::size_t s = 0; s < sent.size(); ++s) {
    stages[s] = {std::move(first[s]), std::move(second[s])};
  }
  return stages;
}

BlockRecord record_block(const PairedBlock &pair, const text::Subtitle *final_block,
                         const StageTexts &stages, const std::vector<std::string> &details,
                         bool follow_up) {
  BlockRecord record;
  record.pair = pair;
  record.follow_up = follow_up;
  if (!final_block) return record;
  record.final_text = final_block->text;
  record.after_glossary = stages.after_glossary.value_or(record.final_text);
  record.returned = stages.returned.value_or(record.after_glossary);
  if (record.returned != record.after_glossary) {
    record.glossary_entries =
        attribute_replacements(record.returned, record.after_glossary, details);
  }
  return record;
}

namespace {

// The sent text with the block's own glossary entries applied, as the
// glossary alone would have written it.
std::string glossary_only(const BlockRecord &record, const text::Subtitle &sent,
                          const std::vector<std::string> &details) {
  text::TermReplacer replacer(sent.text);
  constexpr std::string_view kArrow = " → ";
  for (std::size_t d : record.glossary_entries) {
    const std::string &detail = details[d];
    std::size_t at = detail.find(kArrow);
    if (at == std::string::npos) continue;
    replacer.apply(detail.substr(0, at) + "→" + detail.substr(at + kArrow.size()));
  }
  return replacer.text();
}

}  // namespace

std::vector<std::string_view> block_flags(const BlockRecord &record, const text::Subtitle &sent,
                                          const std::vector<std::string> &details) {
  std::vector<std::string_view> flags;
  if (record.missing()) {
    flags.push_back("missing");
    if (record.filtered) flags.push_back("filtered");
  } else {
    if (record.model_changed(sent) &&
        !(record.commentary_removed() && record.final_text == glossary_only(record, sent, details))) {
      flags.push_back("model");
    }
    if (record.glossary_changed()) flags.push_back("glossary");
    if (record.commentary_removed()) flags.push_back("commentary");
    if (record.pair.timing_changed) flags.push_back("timing");
    if (record.follow_up) flags.push_back("follow_up");
  }
  if (!record.risks.empty()) flags.push_back("risk");
  return flags;
}

}  // namespace brivane::pipeline
