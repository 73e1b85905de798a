#include <gtest/gtest.h>

#include "pipeline/merge.h"

using brivane::pipeline::attribute_replacements;
using brivane::pipeline::BlockFields;
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
  std::vector<BlockFields> sent = {{"3", "00:00:01,000", "00:00:02,000", "血案"},
                                   {"3", "00:00:03,000", "00:00:04,000", "好"},
                                   {"4", "00:00:05,000", "00:00:06,000", "无"}};
  std::vector<BlockFields> reply = {{"3", "00:00:01,000", "00:00:02,000", "血氨"},
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
