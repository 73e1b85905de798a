#include <gtest/gtest.h>

#include "pipeline/block_record.h"

using brivane::text::Subtitle;
using brivane::pipeline::block_flags;
using brivane::pipeline::BlockRecord;
using brivane::pipeline::PairedBlock;
using brivane::pipeline::record_block;
using brivane::pipeline::stage_texts;
using brivane::pipeline::StageTexts;

namespace {

std::vector<Subtitle> sent_blocks() {
  return {{"1", "00:00:01,000", "00:00:02,000", "血案升高"},
          {"2", "00:00:03,000", "00:00:04,000", "需要治疗"},
          {"3", "00:00:05,000", "00:00:06,000", "第三句"}};
}

TEST(StageTexts, PairsEachStageByIndexAndSkipsFences) {
  std::string returned =
      "```srt\n1\n00:00:01,000 --> 00:00:02,000\n血案升高（注：原文）\n\n"
      "3\n00:00:05,000 --> 00:00:06,000\n第三句\n```";
  std::string glossary =
      "1\n00:00:01,000 --> 00:00:02,000\n血氨升高（注：原文）\n\n"
      "2\n00:00:03,000 --> 00:00:04,000\n须要治疗";
  std::vector<StageTexts> stages = stage_texts(sent_blocks(), returned, glossary);
  ASSERT_EQ(stages.size(), 3u);
  EXPECT_EQ(stages[0].returned, "血案升高（注：原文）");
  EXPECT_EQ(stages[0].after_glossary, "血氨升高（注：原文）");
  EXPECT_EQ(stages[1].returned, std::nullopt);
  EXPECT_EQ(stages[1].after_glossary, "须要治疗");
  EXPECT_EQ(stages[2].returned, "第三句");  // the closing fence is not part of it
  EXPECT_EQ(stages[2].after_glossary, std::nullopt);
}

TEST(RecordBlock, NamesTheStepOfEachEdit) {
  PairedBlock pair;
  pair.reply = 0;
  Subtitle written{"1", "00:00:01,000", "00:00:02,000", "血氨升高"};
  std::vector<std::string> details = {"血案 → 血氨", "心梗 → 心肌梗死"};
  BlockRecord record = record_block(
      pair, &written, StageTexts{"血案升高（注：原文）", "血氨升高（注：原文）"}, details, false);
  const Subtitle sent = sent_blocks()[0];
  EXPECT_TRUE(record.model_changed(sent));
  EXPECT_TRUE(record.glossary_changed());
  EXPECT_TRUE(record.commentary_removed());
  EXPECT_EQ(record.glossary_entries, std::vector<std::size_t>{0});
  // The model only added a note: with it removed, the glossary made the text.
  using Flags = std::vector<std::string_view>;
  EXPECT_EQ(block_flags(record, sent, details), (Flags{"glossary", "commentary"}));

  // Stages not known repeat the next one: only the final text is known.
  BlockRecord unknown = record_block(pair, &written, StageTexts{}, details, true);
  EXPECT_EQ(unknown.returned, "血氨升高");
  EXPECT_FALSE(unknown.glossary_changed() || unknown.commentary_removed());
  EXPECT_TRUE(unknown.model_changed(sent) && unknown.follow_up);
  EXPECT_EQ(block_flags(unknown, sent, details), (Flags{"model", "follow_up"}));

  BlockRecord missing = record_block(PairedBlock{}, nullptr, StageTexts{}, details, false);
  EXPECT_TRUE(missing.missing());
  EXPECT_FALSE(missing.model_changed(sent) || missing.glossary_changed() ||
               missing.commentary_removed());
  missing.filtered = true;
  EXPECT_EQ(block_flags(missing, sent, details), (Flags{"missing", "filtered"}));
}

}  // namespace
