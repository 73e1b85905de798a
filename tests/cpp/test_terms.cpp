#include <gtest/gtest.h>

#include "printing.h"
#include "text/terms.h"

using brivane::text::parse_term_entry;
using brivane::text::TermEntry;
using brivane::text::TermReplacer;

struct EntryCase {
  std::string entry;
  bool usable;
  std::string error, correct;
};
BRIVANE_PRINT_CASE(EntryCase, entry)

class TermEntries : public ::testing::TestWithParam<EntryCase> {};

TEST_P(TermEntries, ParseLikeReplaceThenSplit) {
  auto e = parse_term_entry(GetParam().entry);
  ASSERT_EQ(e.has_value(), GetParam().usable);
  if (e) {
    EXPECT_EQ(e->error_term, GetParam().error);
    EXPECT_EQ(e->correct_term, GetParam().correct);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TermEntries,
    ::testing::Values(EntryCase{"血案→血氨", true, "血案", "血氨"},
                      EntryCase{" 血案 -> 血氨\u3000", true, "血案", "血氨"},
                      EntryCase{"a-->b", true, "a-", "b"}, EntryCase{"-->", true, "-", ""},
                      EntryCase{"→x", true, "", "x"}, EntryCase{"a→b→c", false, "", ""},
                      EntryCase{"a->b→c", false, "", ""}, EntryCase{"a->->b", false, "", ""},
                      EntryCase{"ab", false, "", ""}, EntryCase{"a- >b", false, "", ""}));

TEST(TermReplacer, ChainsAndCountsEntriesThatChangedTheText) {
  TermReplacer r("aaa X Y");
  EXPECT_TRUE(r.apply("aa→b"));   // non-overlapping, left to right
  EXPECT_FALSE(r.apply("aa→c"));  // nothing left
  EXPECT_TRUE(r.apply("X -> Y"));
  EXPECT_TRUE(r.apply("Y→Z"));   // works on the result of the entries before
  EXPECT_FALSE(r.apply("Z→Z"));  // equal terms never count
  EXPECT_FALSE(r.apply("→Q"));   // empty wrong term skipped
  EXPECT_FALSE(r.apply("b→c→d"));
  EXPECT_EQ(r.text(), "ba Z Z");
  EXPECT_EQ(r.details(), (std::vector<TermEntry>{{"aa", "b"}, {"X", "Y"}, {"Y", "Z"}}));
}

TEST(TermReplacer, FilterNeverHidesAnOccurrence) {
  // Single bytes, pairs at the very ends, and text changed by earlier
  // entries must all still be found.
  TermReplacer r("xa血");
  EXPECT_TRUE(r.apply("x→"));
  EXPECT_TRUE(r.apply("a血→qz"));
  EXPECT_TRUE(r.apply("z→血案"));
  EXPECT_TRUE(r.apply("案→!"));
  EXPECT_FALSE(r.apply("qq→w"));
  EXPECT_EQ(r.text(), "q血!");
}

TEST(TermReplacer, CorrectTermContainingWrongTermGrowsEachTime) {
  TermReplacer r("X XY");
  EXPECT_TRUE(r.apply("X→XY"));
  EXPECT_TRUE(r.apply("X→XY"));
  EXPECT_EQ(r.text(), "XYY XYYY");
}

TEST(EntryFault, TellsWhyAUserEntryCannotBeApplied) {
  using brivane::text::entry_fault;
  using brivane::text::EntryFault;
  EXPECT_EQ(entry_fault(" 血案 -> 血氨"), EntryFault::none);
  EXPECT_EQ(entry_fault("血案=血氨"), EntryFault::no_arrow);
  EXPECT_EQ(entry_fault("a→b->c"), EntryFault::many_arrows);
  EXPECT_EQ(entry_fault("\u3000→x"), EntryFault::empty_error_term);
  EXPECT_EQ(entry_fault("x→"), EntryFault::none);  // an empty correct term deletes; allowed
}

TEST(LatestPerErrorTerm, LaterEntryReplacesEarlierOnesWhereverTheyWere) {
  using brivane::text::latest_per_error_term;
  std::vector<std::optional<std::string>> terms{"a", std::nullopt, "b", "a", std::nullopt, "a"};
  EXPECT_EQ(latest_per_error_term(terms), (std::vector<bool>{false, true, true, false, true, true}));
  EXPECT_TRUE(latest_per_error_term({}).empty());
}
