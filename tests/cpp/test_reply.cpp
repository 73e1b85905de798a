#include <gtest/gtest.h>

#include "text/reply.h"

using brivane::text::extract_blocks;
using brivane::text::remove_annotations;
using brivane::text::Subtitle;

namespace {
const std::string kB1 = "1\n00:00:01,000 --> 00:00:02,000\n血（注：原文为血案）氨";
const std::string kB2 = "2\n0:0:2.0 --> 0:0:3.0\nb";
}  // namespace

TEST(RemoveAnnotations, StrictBlocksWithNotesRemoved) {
  auto cleaned = remove_annotations("结果：\n\n" + kB1 + "\n\n\n\n" + kB1 + "\n\n1. 改了血案");
  EXPECT_FALSE(cleaned.fell_back);
  EXPECT_EQ(cleaned.text, "1\n00:00:01,000 --> 00:00:02,000\n血氨\n\n"
                          "1\n00:00:01,000 --> 00:00:02,000\n血氨");
}

TEST(RemoveAnnotations, StrictMatchDropsLooseBlocks) {
  auto cleaned = remove_annotations(kB1 + "\n\n" + kB2);
  EXPECT_EQ(cleaned.text, "1\n00:00:01,000 --> 00:00:02,000\n血氨");
}

TEST(RemoveAnnotations, LooseWhenNoStrictBlock) {
  // A blank before the first index keeps "^" from matching there.
  auto cleaned = remove_annotations(kB2 + "\n\n" + kB2 + " \n\n " + kB2);
  EXPECT_FALSE(cleaned.fell_back);
  EXPECT_EQ(cleaned.text, kB2 + "\n\n" + kB2 + " \n\n " + kB2);
  EXPECT_EQ(remove_annotations(" " + kB2 + "\n\n" + kB2).text, kB2);
}

TEST(RemoveAnnotations, FallbackReturnsTheReplyTrimmedWithItsNotes) {
  struct Case {
    std::string reply, text;
  };
  for (const Case &c : {Case{"", ""}, Case{"\u3000\xc2\x85", ""},
                        Case{" 修正说明：（注：x）\n\xc2\x85", "修正说明：（注：x）"},
                        Case{"1\n00:00:01,000 -> 00:00:02,000\nx 说明：y", 
                             "1\n00:00:01,000 -> 00:00:02,000\nx 说明：y"}}) {
    auto cleaned = remove_annotations(c.reply);
    EXPECT_TRUE(cleaned.fell_back);
    EXPECT_EQ(cleaned.text, c.text);
  }
}

TEST(RemoveAnnotations, CutMarkerRemovesEverythingAfter) {
  auto cleaned = remove_annotations(kB2 + "\n\n修改说明（符合规则要求）：\n" + kB1);
  EXPECT_EQ(cleaned.text, kB2);
}

TEST(ExtractBlocks, ReadsLooselyAndReportsTimeLines) {
  auto extracted = extract_blocks(
      " \u30001 \n a  -->  b \n  x\n\n2\n1-->2\ny\n\n3\nq --> r --> s\nz\n\n4\nonly two");
  ASSERT_EQ(extracted.subtitles.size(), 1u);
  EXPECT_EQ(extracted.subtitles[0], (Subtitle{"1", "a", "b", "  x"}));
  EXPECT_EQ(extracted.invalid_time_lines, (std::vector<std::string>{"1-->2", "q --> r --> s"}));
}

TEST(ExtractBlocks, ArrowOccurrencesDoNotOverlap) {
  auto extracted = extract_blocks("1\nx --> --> y\nz");
  ASSERT_EQ(extracted.subtitles.size(), 1u);
  EXPECT_EQ(extracted.subtitles[0].start_time, "x");
  EXPECT_EQ(extracted.subtitles[0].end_time, "--> y");
}
