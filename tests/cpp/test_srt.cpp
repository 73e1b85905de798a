#include <gtest/gtest.h>

#include "text/srt.h"

using brivane::text::parse_srt_content;
using brivane::text::render_srt;
using brivane::text::Subtitle;

TEST(ParseSrt, ReadsBlocksAndReportsSkippedOnes) {
  auto parsed = parse_srt_content(
      "\n\xef\xbb\xbf"
      "1 \n00:00:01,000 --> 00:00:02,000 X1:1\n  a\n\u3000b \n\n\n"
      "short\n00:00:02,000 --> 00:00:03,000\n \t\n"
      "3\n00:00:03.000 --> 00:00:04,000\nc\n\n"
      "4\n0:0:4,5-->0:0:5,5\nd\n5\n00:00:05,000 --> 00:00:06,000\ne\n");
  ASSERT_EQ(parsed.subtitles.size(), 2u);
  EXPECT_EQ(parsed.subtitles[0], (Subtitle{"\xef\xbb\xbf"
                                           "1 ",
                                           "00:00:01,000", "00:00:02,000", "  a\n\u3000b"}));
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

namespace {
template <class S>
std::basic_string<typename S::value_type> piece(const S &s, brivane::text::Span span) {
  return s.substr(span.begin, span.end - span.begin);
}
}  // namespace

// The in-place reader on the host's layouts gives the positions of the same
// fields, whatever the width of the text's code points.
TEST(ParseSrtSpans, SameBlocksOnEveryWidth) {
  using brivane::text::parse_srt_spans;
  const std::u16string wide =
      u"\u3000 1\n00:00:01,000-->00:00:02,000 x\n  血氨\n\nbad\n\n٣\n٠:1:2,3 --> 4:5:6,7\n\x85"
      u"b\n";
  auto spans = parse_srt_spans({wide.data(), wide.size(), 2});
  ASSERT_EQ(spans.subtitles.size(), 2u);
  EXPECT_EQ(piece(wide, spans.subtitles[0].index), u"1");
  EXPECT_EQ(piece(wide, spans.subtitles[0].end_time), u"00:00:02,000");
  EXPECT_EQ(piece(wide, spans.subtitles[0].text), u"  血氨");
  EXPECT_EQ(piece(wide, spans.subtitles[1].start_time), u"٠:1:2,3");
  EXPECT_EQ(piece(wide, spans.subtitles[1].text),
            u"\x85"
            u"b");
  ASSERT_EQ(spans.skipped_first_lines.size(), 1u);
  EXPECT_EQ(piece(wide, spans.skipped_first_lines[0]), u"bad");

  const std::u32string astral = U"𝟏\n1:2:3,4 --> 5:6:7,8\n😀";
  auto wide4 = parse_srt_spans({astral.data(), astral.size(), 4});
  ASSERT_EQ(wide4.subtitles.size(), 1u);
  EXPECT_EQ(piece(astral, wide4.subtitles[0].index), U"𝟏");
  EXPECT_EQ(piece(astral, wide4.subtitles[0].text), U"😀");

  const std::string latin1 = "1\n1:2:3,4 --> 5:6:7,8\n\xe9\xa0";
  auto narrow = parse_srt_spans({latin1.data(), latin1.size(), 1});
  ASSERT_EQ(narrow.subtitles.size(), 1u);
  EXPECT_EQ(piece(latin1, narrow.subtitles[0].text), "\xe9");  // U+00A0 is white space
}

namespace {
using brivane::text::read_srt_parts_content;
using brivane::text::render_srt_parts;
using brivane::text::sendable_stamp;
using brivane::text::SrtPartText;

std::string shape(const SrtPartText &p) {
  if (!p.is_cue) return "verbatim[" + p.verbatim + "]";
  return (p.has_index ? "[" + p.index + "]" : std::string("[]")) + "[" + p.start_time + "|" +
         p.end_time + "][" + p.text + "]";
}
std::vector<std::string> shapes(std::string_view content) {
  std::vector<std::string> out;
  for (const SrtPartText &p : read_srt_parts_content(content)) out.push_back(shape(p));
  return out;
}
}  // namespace

TEST(ReadSrtParts, KeepsEveryCueAndEveryUnreadablePart) {
  EXPECT_EQ(shapes("\xef\xbb\xbf"
                   "00:00:01,000 --> 00:00:02,000\nno index\n\n"
                   "2\n00:00:03,000 --> 00:00:04,000\n\n"
                   "3\n00:02:12.16 --> 00:02:14 X1:1 Y1:2\ndot\n4\n00:00:07,000 --> 00:00:08,500\nfour\n"
                   "tail\n00:00:09,000-->00:00:10,000\nno index, no blank\n\n"
                   "just words\nmore words\n\n"
                   "notes\n5\n 00:00:11,000 --> 00:00:12,000\nfive"),
            (std::vector<std::string>{
                "[][00:00:01,000|00:00:02,000][no index]",
                "[2][00:00:03,000|00:00:04,000][]",
                "[3][00:02:12.16|00:02:14][dot]",
                "[4][00:00:07,000|00:00:08,500][four\ntail]",
                "[][00:00:09,000|00:00:10,000][no index, no blank]",
                "verbatim[just words\nmore words]",
                "verbatim[notes]",
                "[5][00:00:11,000|00:00:12,000][five]",
            }));
}

TEST(ReadSrtParts, RenderKeepsTimingLinesAndReadsBackTheSame) {
  const std::string content =
      "1\n00:00:01,000-->00:00:02,000 X1:122 X2:595\n  a\n\n2\n0:0:3 --> 0:0:4.5\n\nwords\n";
  auto parts = read_srt_parts_content(content);
  std::string rendered = render_srt_parts(parts);
  EXPECT_EQ(rendered,
            "1\n00:00:01,000-->00:00:02,000 X1:122 X2:595\n  a\n\n2\n0:0:3 --> 0:0:4.5\n\nwords\n\n");
  auto again = read_srt_parts_content(rendered);
  ASSERT_EQ(again.size(), parts.size());
  for (std::size_t k = 0; k < parts.size(); ++k) EXPECT_EQ(shape(again[k]), shape(parts[k]));
}

TEST(SendableStamp, CanonicalFormsGoAsWrittenOthersAsSrtCountsThem) {
  EXPECT_EQ(sendable_stamp("00:00:01,000"), "00:00:01,000");
  EXPECT_EQ(sendable_stamp("\xef\xbc\x90\xef\xbc\x90:00:01,000"), "\xef\xbc\x90\xef\xbc\x90:00:01,000");
  EXPECT_EQ(sendable_stamp("0:0:1,5"), "00:00:01,005");
  EXPECT_EQ(sendable_stamp("00:01:41,04"), "00:01:41,004");
  EXPECT_EQ(sendable_stamp("000:01:41,0040"), "00:01:41,040");
  EXPECT_EQ(sendable_stamp("100:00:00,000"), "100:00:00,000");  // cannot fit: as written
  EXPECT_EQ(sendable_stamp("00:02:12.16"), "00:02:12,016");
  EXPECT_EQ(sendable_stamp("1:2:3"), "01:02:03,000");
}
