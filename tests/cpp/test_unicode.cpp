#include <gtest/gtest.h>

#include <string>

#include "printing.h"
#include "text/unicode.h"
#include "text/unicode_tables.h"

namespace u = brivane::text::unicode;
namespace tables = brivane::text::unicode::tables;

namespace {

template <std::size_t N>
bool linear_lookup(const tables::CodeRange (&table)[N], char32_t cp) {
  for (const auto &r : table) {
    if (r.lo <= cp && cp <= r.hi) return true;
  }
  return false;
}

template <std::size_t N>
void expect_sorted_disjoint(const tables::CodeRange (&table)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    EXPECT_LE(table[i].lo, table[i].hi);
    if (i) {
      EXPECT_LT(table[i - 1].hi + 1, table[i].lo) << "ranges " << i - 1 << " and " << i;
    }
  }
}

std::string encode(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += char(cp);
  } else if (cp < 0x800) {
    s += char(0xC0 | cp >> 6);
    s += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += char(0xE0 | cp >> 12);
    s += char(0x80 | (cp >> 6 & 0x3F));
    s += char(0x80 | (cp & 0x3F));
  } else {
    s += char(0xF0 | cp >> 18);
    s += char(0x80 | (cp >> 12 & 0x3F));
    s += char(0x80 | (cp >> 6 & 0x3F));
    s += char(0x80 | (cp & 0x3F));
  }
  return s;
}

}  // namespace

TEST(UnicodeTables, SortedAndDisjoint) {
  expect_sorted_disjoint(tables::kSpace);
  expect_sorted_disjoint(tables::kDecimal);
}

// The lookups and the byte-level fast paths agree with a plain scan of the
// generated tables for every code point, through UTF-8 as well.
TEST(UnicodeTables, LookupsAgreeWithTablesEverywhere) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    bool space = linear_lookup(tables::kSpace, cp);
    bool digit = linear_lookup(tables::kDecimal, cp);
    ASSERT_EQ(u::is_space(cp), space) << std::hex << cp;
    ASSERT_EQ(u::is_decimal(cp), digit) << std::hex << cp;
    std::string s = encode(cp);
    ASSERT_EQ(u::space_at(s, 0), space ? s.size() : 0) << std::hex << cp;
    ASSERT_EQ(u::digit_at(s, 0), digit ? s.size() : 0) << std::hex << cp;
  }
}

struct ClassCase {
  char32_t cp;
  bool space;
  bool digit;
};
inline void PrintTo(const ClassCase &c, std::ostream *os) {
  *os << "U+" << std::hex << unsigned(c.cp);
}

class KnownCharacters : public ::testing::TestWithParam<ClassCase> {};

TEST_P(KnownCharacters, HaveTheHostsClass) {
  EXPECT_EQ(u::is_space(GetParam().cp), GetParam().space);
  EXPECT_EQ(u::is_decimal(GetParam().cp), GetParam().digit);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, KnownCharacters,
    ::testing::Values(ClassCase{0x1C, true, false}, ClassCase{0x85, true, false},
                      ClassCase{0x3000, true, false}, ClassCase{0x200B, false, false},
                      ClassCase{0xFEFF, false, false}, ClassCase{0xFF10, false, true},
                      ClassCase{0x1D7CE, false, true}, ClassCase{0xB2, false, false},
                      ClassCase{0x2460, false, false}, ClassCase{0xD800, false, false}));

TEST(Decode, WellFormedSequences) {
  for (char32_t cp : {char32_t(0x24), char32_t(0xA2), char32_t(0x20AC), char32_t(0x10348),
                      char32_t(0xD800), char32_t(0xDFFF), char32_t(0x10FFFF)}) {
    std::string s = encode(cp);
    u::Decoded d = u::decode(s, 0);
    EXPECT_EQ(d.cp, cp);
    EXPECT_EQ(d.len, s.size());
    EXPECT_EQ(u::char_start_before(s, s.size()), 0u);
  }
}

TEST(Decode, MalformedBytesComeOneAtATime) {
  for (std::string s : {std::string("\x80"), std::string("\xC0\xAF"), std::string("\xE0\x80\x80"),
                        std::string("\xE2\x82"), std::string("\xF4\x90\x80\x80"),
                        std::string("\xF8\x88\x80\x80\x80"), std::string("\xFF")}) {
    u::Decoded d = u::decode(s, 0);
    EXPECT_EQ(d.cp, u::kInvalid);
    EXPECT_EQ(d.len, 1u);
    EXPECT_EQ(u::space_at(s, 0), 0u);
    EXPECT_EQ(u::char_start_before(s, s.size()), s.size() - 1);
  }
}

struct StripCase {
  std::string in, left, right;
};
BRIVANE_PRINT_CASE(StripCase, in)

class Strip : public ::testing::TestWithParam<StripCase> {};

TEST_P(Strip, TrimsLikeTheHost) {
  const StripCase &c = GetParam();
  EXPECT_EQ(u::lstrip(c.in), c.left);
  EXPECT_EQ(u::rstrip(c.in), c.right);
  EXPECT_EQ(u::strip(c.in), u::rstrip(c.left));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Strip,
    ::testing::Values(StripCase{"", "", ""}, StripCase{" \t\n", "", ""},
                      StripCase{"\u3000a b\u3000", "a b\u3000", "\u3000a b"},
                      StripCase{"\x1c\xc2\x85x\xe2\x80\xa8", "x\xe2\x80\xa8", "\x1c\xc2\x85x"},
                      StripCase{"\xef\xbb\xbf a", "\xef\xbb\xbf a", "\xef\xbb\xbf a"},
                      StripCase{"a\x80 ", "a\x80 ", "a\x80"},
                      StripCase{"\xe3\x80 ", "\xe3\x80 ", "\xe3\x80"},
                      StripCase{" \xed\xa0\x80 ", "\xed\xa0\x80 ", " \xed\xa0\x80"}));
