#include <gtest/gtest.h>

#include <array>

#include "pipeline/merge.h"

using brivane::pipeline::attribute_replacements;
using brivane::text::Subtitle;
using brivane::pipeline::merge_window;
using brivane::pipeline::pair_blocks;
using brivane::pipeline::PairedBlock;

namespace {
constexpr std::size_t kNone = PairedBlock::kNone;

struct PairingCase {
  const char *name;
  std::vector<std::string_view> sent, reply;
  std::vector<std::size_t> expected;
};

class Pairing : public testing::TestWithParam<PairingCase> {};

TEST_P(Pairing, PairsSentBlocksWithReplyBlocks) {
  EXPECT_EQ(pair_blocks(GetParam().sent, GetParam().reply), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Merge, Pairing,
    testing::Values(
        PairingCase{"in_order", {"1", "2"}, {"1", "2"}, {0, 1}},
        PairingCase{"missing_and_extra", {"1", "2"}, {"999", "1"}, {1, kNone}},
        PairingCase{"white_space_both_sides", {"1 ", "\xe3\x80\x80" "2"}, {" 1", "2\t"}, {0, 1}},
        PairingCase{"single_takes_last_copy", {"7"}, {"7", "7"}, {1}},
        PairingCase{"repeated_pairs_in_turn", {"5", "5"}, {"5", "5", "5"}, {0, 1}},
        PairingCase{"repeated_beyond_copies", {"5", "6", "5"}, {"5", "6"}, {0, 1, kNone}},
        PairingCase{"leading_zero_differs", {"012"}, {"12"}, {kNone}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Merge, AttributionNeedsWrongTermSentAndRightTermReturned) {
  std::vector<std::string> details = {"血案 → 血氨", "a → b → c", "头皮脂 → 托吡酯", "x → y"};
  EXPECT_EQ(attribute_replacements("血案和头皮脂", "血氨和托吡酯", details),
            (std::vector<std::size_t>{0, 2}));
  EXPECT_TRUE(attribute_replacements("血氨", "血氨", details).empty());
}

TEST(Merge, TimingAndAttributionArePerPair) {
  std::vector<Subtitle> sent = {{"3", "00:00:01,000", "00:00:02,000", "血案"},
                                   {"3", "00:00:03,000", "00:00:04,000", "好"},
                                   {"4", "00:00:05,000", "00:00:06,000", "无"}};
  std::vector<Subtitle> reply = {{"3", "00:00:01,000", "00:00:02,000", "血氨"},
                                    {"3", "00:00:03,500", "00:00:04,000", "血氨"}};
  auto merged = merge_window(sent, reply, {"血案 → 血氨"});
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged[0].reply, 0u);
  EXPECT_FALSE(merged[0].timing_changed);
  EXPECT_EQ(merged[0].replacements, std::vector<std::size_t>{0});
  EXPECT_EQ(merged[1].reply, 1u);
  EXPECT_TRUE(merged[1].timing_changed);
  EXPECT_TRUE(merged[1].replacements.empty());  // 血案 was not in this block's sent text
  EXPECT_EQ(merged[2].reply, kNone);
}

}  // namespace

namespace {
using brivane::pipeline::BlockKey;
using brivane::pipeline::pair_by_index_and_timing;

std::vector<BlockKey> keys(std::initializer_list<std::array<std::string_view, 2>> blocks) {
  std::vector<BlockKey> out;
  for (const auto &b : blocks) out.push_back({b[0], b[1], "e"});
  return out;
}
}  // namespace

TEST(Realign, RenumberedReplyPairsByTiming) {
  // Every block labelled one higher, timings unchanged.
  auto sent = keys({{"1", "t1"}, {"2", "t2"}, {"3", "t3"}});
  EXPECT_EQ(pair_by_index_and_timing(sent, keys({{"2", "t1"}, {"3", "t2"}, {"4", "t3"}})),
            (std::vector<std::size_t>{0, 1, 2}));
  // A block that keeps its own index and timing is never displaced, and a
  // timing shared by two sent blocks identifies neither.
  EXPECT_EQ(pair_by_index_and_timing(sent, keys({{"1", "t1"}, {"999", "t1"}, {"3", "t2"}})),
            (std::vector<std::size_t>{0, 2, kNone}));
  auto twice = keys({{"1", "t"}, {"2", "t"}});
  EXPECT_EQ(pair_by_index_and_timing(twice, keys({{"2", "x"}, {"5", "t"}})),
            (std::vector<std::size_t>{kNone, 0}));
}

TEST(Merge, RenumberedAndSwallowedBlocks) {
  std::vector<Subtitle> sent = {{"1", "a", "b", "甲"}, {"2", "c", "d", "乙"}, {"3", "e", "f", "丙"}};
  auto renumbered = merge_window(sent, {{"2", "a", "b", "甲"}, {"3", "c", "d", "乙"}, {"4", "e", "f", "丙"}}, {});
  EXPECT_EQ(renumbered[1].reply, 1u);
  EXPECT_EQ(renumbered[1].renumbered_from, "3");
  EXPECT_FALSE(renumbered[1].timing_changed);
  // Block 2's text merged into block 1, block 2 omitted: neither is trusted.
  auto merged = merge_window(sent, {{"1", "a", "b", "甲乙"}, {"3", "e", "f", "丙"}}, {});
  EXPECT_EQ(merged[0].reply, kNone);
  EXPECT_EQ(merged[1].reply, kNone);
  EXPECT_EQ(merged[2].reply, 1u);
}
