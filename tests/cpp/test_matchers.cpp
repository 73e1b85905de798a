#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing.h"
#include "text/matchers.h"

namespace m = brivane::text::match;

namespace {

std::vector<std::string> strings(const std::vector<std::string_view> &views) {
  return {views.begin(), views.end()};
}

const m::NotePattern &pattern(int number) { return m::annotation_patterns().at(number - 1); }

std::string remove(int number, std::string_view text) {
  std::string out;
  return m::remove_matches(pattern(number), text, out) ? out : std::string(text);
}

}  // namespace

TEST(Find, Occurrences) {
  EXPECT_EQ(m::find("abcabc", "ca"), 2u);
  EXPECT_EQ(m::find("abcabc", "abc", 1), 3u);
  EXPECT_EQ(m::find("abc", "x"), m::npos);
  EXPECT_EQ(m::find("abc", "abcd"), m::npos);
  EXPECT_EQ(m::find("abc", "", 2), 2u);
  EXPECT_EQ(m::find("abc", "c", 4), m::npos);
}

// Every start offset and needle length against std::string_view::find, on a
// text with many near-misses, long enough for the 16-byte steps, their tail,
// and the long-needle path.
TEST(Find, AgreesWithPlainSearchEverywhere) {
  std::string hay;
  for (int i = 0; i < 70; ++i) hay += (i % 7 == 6) ? "ab注：" : "aa";
  hay += std::string(40, 'a') + "b";
  std::string_view h(hay);
  for (std::size_t len = 1; len <= 24; ++len) {
    for (std::size_t at = 0; at + len <= h.size(); at += 5) {
      std::string_view needle = h.substr(at, len);
      for (std::size_t from : {std::size_t{0}, at / 2, at, at + 1}) {
        ASSERT_EQ(m::find(h, needle, from), h.find(needle, from))
            << "needle at " << at << " len " << len << " from " << from;
      }
    }
  }
  EXPECT_EQ(m::find(h, std::string(30, 'a') + "b"), h.find(std::string(30, 'a') + "b"));
  EXPECT_EQ(m::find(h, "注：注"), m::npos);
}

struct SplitCase {
  std::string text;
  std::vector<std::string> pieces;
};
BRIVANE_PRINT_CASE(SplitCase, text)

class SplitBlocks : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitBlocks, LikeReSplit) {
  EXPECT_EQ(strings(m::split_blocks(GetParam().text)), GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitBlocks,
    ::testing::Values(SplitCase{"", {""}}, SplitCase{"a\nb", {"a\nb"}},
                      SplitCase{"a\n\nb", {"a", "b"}},
                      // The match ends at the last LF of the white-space run.
                      SplitCase{"a\n \n\t\n  b", {"a", "  b"}}, SplitCase{"a\n\n\n", {"a", ""}},
                      SplitCase{"\n\na", {"", "a"}},
                      SplitCase{"a\n \u3000b\n\xc2\x85\nc", {"a\n \u3000b", "c"}},
                      SplitCase{"a\n\r\nb", {"a", "b"}}, SplitCase{"a\r\rb", {"a\r\rb"}}));

struct TimeCase {
  std::string line;
  bool matches;
  std::string start, end;
};
BRIVANE_PRINT_CASE(TimeCase, line)

class TimeLine : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeLine, AnchoredAtStart) {
  auto m = m::match_time_line(GetParam().line);
  ASSERT_EQ(m.has_value(), GetParam().matches);
  if (m) {
    EXPECT_EQ(m->start, GetParam().start);
    EXPECT_EQ(m->end, GetParam().end);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeLine,
    ::testing::Values(
        TimeCase{"00:00:01,000 --> 00:00:02,000", true, "00:00:01,000", "00:00:02,000"},
        TimeCase{"0:0:1,5-->0:0:2,5 X1:100", true, "0:0:1,5", "0:0:2,5"},
        TimeCase{"1:2:3,4\u3000\xc2\x85-->\t5:6:7,8999x", true, "1:2:3,4", "5:6:7,8999"},
        TimeCase{"０:٠:1,2 --> 3:4:5,6", true, "０:٠:1,2", "3:4:5,6"},
        TimeCase{" 00:00:01,000 --> 00:00:02,000", false, "", ""},
        TimeCase{"00:00:01.000 --> 00:00:02,000", false, "", ""},
        TimeCase{"00:00:01,000 -> 00:00:02,000", false, "", ""},
        TimeCase{"00:00:01,000 --> 00:00:02", false, "", ""},
        TimeCase{"²:0:1,5 --> 0:0:2,5", false, "", ""}, TimeCase{"", false, "", ""}));

TEST(CutMarkers, KeepsThePrefixBeforeEachMarker) {
  EXPECT_EQ(m::cut_at_markers("正文 \n修正说明：后面"), "正文");
  EXPECT_EQ(m::cut_at_markers("a 主要修改内容：b 修正说明：c"), "a");
  EXPECT_EQ(m::cut_at_markers("a\u3000修改说明（符合规则要求）：b"), "a");
  EXPECT_EQ(m::cut_at_markers("修改说明：a"), "修改说明：a");
  EXPECT_EQ(m::cut_at_markers(""), "");
}

struct NoteCase {
  int pattern;
  std::string text, expected;
};
BRIVANE_PRINT_CASE(NoteCase, text)

class Notes : public ::testing::TestWithParam<NoteCase> {};

TEST_P(Notes, RemovesLikeReSub) {
  EXPECT_EQ(remove(GetParam().pattern, GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Notes,
                         ::testing::Values(
                             // Line tails stop before the LF; one removal per line.
                             NoteCase{2, "a说明：b说明：c\nd说明：", "a\nd"},
                             NoteCase{5, "主要修改内容：x", "主要"},
                             // Either opening and either closing form, the first closer wins.
                             NoteCase{6, "a(注：x）y)b", "ay)b"}, NoteCase{6, "a（注：x)b", "ab"},
                             // No closer on the line: no match, also for later openers on it.
                             NoteCase{6, "(注：a(注：b\n(注：c)", "(注：a(注：b\n"},
                             NoteCase{7, "(注:)(注:)", ""}, NoteCase{12, "[修正】【修正]", ""},
                             NoteCase{13, "{修正x」y", "y"}, NoteCase{13, "{修正x)", "{修正x)"},
                             NoteCase{14, "(注：x）（注：y)", "(注：x）（注：y)"},
                             NoteCase{15, "(注：x)", ""},
                             // "不变" must stand right before the closer; other closers are passed.
                             NoteCase{19, "（保持a)b不变）c", "c"}, NoteCase{19, "(保持不变)", ""},
                             NoteCase{19, "(保持a不变x)", "(保持a不变x)"},
                             NoteCase{19, "(保持不变不变)", ""}, NoteCase{21, "((禁止x)", "("}));

TEST(Notes, AllPatternsInOrder) {
  // The first removal joins text into a note that a later pattern removes.
  EXPECT_EQ(m::remove_notes("a((注：x)注：y)b"), "ab");
  EXPECT_EQ(m::remove_notes("说(注：x)明：y"), "说明：y");
}

TEST(CollapseNewlines, ThreeOrMoreBecomeTwo) {
  EXPECT_EQ(m::collapse_newlines("a\n\n\n\nb\n\nc\n\n\n"), "a\n\nb\n\nc\n\n");
  EXPECT_EQ(m::collapse_newlines("a\n \n\n\nb"), "a\n \n\nb");
}

class NotesAndCollapse : public ::testing::TestWithParam<std::string> {};

// Done in one pass, including lines that the notes empty.
TEST_P(NotesAndCollapse, EqualsTheTwoStepsApart) {
  const std::string &text = GetParam();
  EXPECT_EQ(m::remove_notes_and_collapse(text), m::collapse_newlines(m::remove_notes(text)));
}

INSTANTIATE_TEST_SUITE_P(Cases, NotesAndCollapse,
                         ::testing::Values("", "\n", "\n\n\n", "\n\n\nx", "a\n\n\n", "a\n\n\n\n\nb",
                                           "a\n说明：x\n\nb", "a\n\n说明：x\n\n\nb",
                                           "说明：x\n\n\n(注：y)", "a\n \n\n\n（注：）\n\n",
                                           "x(注：a)\n(禁止)\n\n修改内容：q\ny"));

struct BlockCase {
  m::BlockShape shape;
  std::string text;
  std::vector<std::string> blocks;
};
BRIVANE_PRINT_CASE(BlockCase, text)

class FindBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(FindBlocks, LikeReFindall) {
  EXPECT_EQ(strings(m::find_blocks(GetParam().text, GetParam().shape)), GetParam().blocks);
}

const std::string kB1 = "1\n00:00:01,000 --> 00:00:02,000\na";
const std::string kB2 = "2\n00:00:02,000 --> 00:00:03,000\nb";

INSTANTIATE_TEST_SUITE_P(
    Cases, FindBlocks,
    ::testing::Values(
        BlockCase{m::BlockShape::kStrict, kB1 + "\n\n" + kB2, {kB1, kB2}},
        BlockCase{m::BlockShape::kStrict, "x\n\n" + kB1 + "\n\n结束", {kB1 + "\n\n结束"}},
        BlockCase{m::BlockShape::kStrict, kB1 + "\n\n1. 说明", {kB1}},
        BlockCase{m::BlockShape::kStrict,
                  "1 \n\n00:00:01,000-->00:00:02,000 \n\n a",
                  {"1 \n\n00:00:01,000-->00:00:02,000 \n\n a"}},
        BlockCase{m::BlockShape::kStrict, "1\n0:00:01,000 --> 00:00:02,000\na", {}},
        BlockCase{m::BlockShape::kStrict, "1\n00:00:01,0000 --> 00:00:02,000\na", {}},
        BlockCase{m::BlockShape::kStrict, "1\n00:00:01,000 --> 00:00:02,000", {}},
        // The body starts after the last LF of the run after the stamps.
        BlockCase{m::BlockShape::kStrict,
                  "1\n00:00:01,000 --> 00:00:02,000\n \n\n2 处",
                  {"1\n00:00:01,000 --> 00:00:02,000\n \n\n2 处"}},
        BlockCase{m::BlockShape::kLoose,
                  "1\n0:0:1.5 --> 0:0:2\na\n\n2\n1-->\n\n3x\nb",
                  {"1\n0:0:1.5 --> 0:0:2\na", "2\n1-->\n\n3x\nb"}},
        BlockCase{m::BlockShape::kLoose, "1\n1 --> x --> 2\na", {"1\n1 --> x --> 2\na"}},
        BlockCase{m::BlockShape::kLoose, "1\n1 --> 2", {}},
        BlockCase{m::BlockShape::kLoose, "1\n1 --> x\na", {}}));
