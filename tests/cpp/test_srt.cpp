#include <gtest/gtest.h>

#include "text/srt.h"

using brivane::text::parse_srt_content;
using brivane::text::render_srt;
using brivane::text::Subtitle;

TEST(ParseSrt, ReadsBlocksAndReportsSkippedOnes) {
  auto parsed = parse_srt_content(
      "\n\xef\xbb\xbf" "1 \n00:00:01,000 --> 00:00:02,000 X1:1\n  a\n\u3000b \n\n\n"
      "short\n00:00:02,000 --> 00:00:03,000\n \t\n"
      "3\n00:00:03.000 --> 00:00:04,000\nc\n\n"
      "4\n0:0:4,5-->0:0:5,5\nd\n5\n00:00:05,000 --> 00:00:06,000\ne\n");
  ASSERT_EQ(parsed.subtitles.size(), 2u);
  EXPECT_EQ(parsed.subtitles[0],
            (Subtitle{"\xef\xbb\xbf" "1 ", "00:00:01,000", "00:00:02,000", "  a\n\u3000b"}));
  EXPECT_EQ(parsed.subtitles[1],
            (Subtitle{"4", "0:0:4,5", "0:0:5,5", "d\n5\n00:00:05,000 --> 00:00:06,000\ne"}));
  EXPECT_EQ(parsed.skipped_first_lines, (std::vector<std::string>{"short", "3"}));
}

TEST(ParseSrt, BlankContentSkipsNothingVisible) {
  for (const char *content : {"", " \n\t\u3000\n"}) {
    auto parsed = parse_srt_content(content);
    EXPECT_TRUE(parsed.subtitles.empty());
    EXPECT_TRUE(parsed.skipped_first_lines.empty());
  }
}

TEST(RenderSrt, RebuildsTimeLineAndEndsEachBlockWithEmptyLine) {
  EXPECT_EQ(render_srt({}), "");
  EXPECT_EQ(render_srt({{"1 ", "a", "b", " x\ny"}, {"2", "", "", ""}}),
            "1 \na --> b\n x\ny\n\n2\n --> \n\n\n");
}

TEST(RenderSrt, ParseOfRenderIsStable) {
  auto first = parse_srt_content(
      "1\n00:00:01,000-->00:00:02,000 pos\na\n\n2\n٠:٠:٠,٠ --> 1:1:1,1\n b\n\n\n");
  auto again = parse_srt_content(render_srt(first.subtitles));
  EXPECT_EQ(again.subtitles, first.subtitles);
}
