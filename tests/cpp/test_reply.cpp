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
  EXPECT_EQ(cleaned.text,
            "1\n00:00:01,000 --> 00:00:02,000\n血氨\n\n"
            "1\n00:00:01,000 --> 00:00:02,000\n血氨");
}

TEST(RemoveAnnotations, OnlyTheFencedPartIsSubtitleText) {
  const std::string block = "1\n00:00:01,000 --> 00:00:02,000\n血氨";
  for (const std::string &reply :
       {"以下是结果\n```srt\n" + block + "\n```\n以上为校正结果，如有疑问请告知。",
        "好的。\n\n```\n" + block + "\n```\n\n1. 血案 改为 血氨\n"}) {
    EXPECT_EQ(remove_annotations(reply).text, block) << reply;
  }
  // One fence line alone (a reply cut short) fences nothing.
  EXPECT_EQ(remove_annotations("```srt\n" + block).text, block);
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

TEST(ExtractBlocks, ReadsLooselyAndReportsTimeLines) {
  auto extracted = extract_blocks(
      " \u30001 \n a  -->  b \n  x\n\n2\n1-->2\ny\n\n3\nq --> r --> s\nz\n\n4\nonly two");
  ASSERT_EQ(extracted.subtitles.size(), 1u);
  EXPECT_EQ(extracted.subtitles[0], (Subtitle{"1", "a", "b", "  x"}));
  EXPECT_EQ(extracted.invalid_time_lines, (std::vector<std::string>{"1-->2", "q --> r --> s"}));
}

TEST(ExtractBlockSpans, SameBlocksAsTheUtf8Reader) {
  using brivane::text::extract_block_spans;
  const std::u16string wide = u"1 \n a  -->  b \n  x\n\n2\n1-->2\ny\n\n\u3000３\nq --> r\n血";
  auto spans = extract_block_spans({wide.data(), wide.size(), 2});
  auto piece = [&](brivane::text::Span s) { return wide.substr(s.begin, s.end - s.begin); };
  ASSERT_EQ(spans.subtitles.size(), 2u);
  EXPECT_EQ(piece(spans.subtitles[0].index), u"1");
  EXPECT_EQ(piece(spans.subtitles[0].start_time), u"a");
  EXPECT_EQ(piece(spans.subtitles[0].end_time), u"b");
  EXPECT_EQ(piece(spans.subtitles[0].text), u"  x");
  EXPECT_EQ(piece(spans.subtitles[1].index), u"３");
  ASSERT_EQ(spans.invalid_time_lines.size(), 1u);
  EXPECT_EQ(piece(spans.invalid_time_lines[0]), u"1-->2");
}
