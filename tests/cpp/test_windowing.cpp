#include <gtest/gtest.h>

#include "pipeline/comparison_log.h"
#include "pipeline/windowing.h"

using namespace brivane::pipeline;
using namespace brivane::pipeline::comparison_log;

TEST(Windowing, PlansClampsAndReportsProgress) {
  WindowPlan whole = plan_windows(120, 50, std::nullopt, std::nullopt);
  EXPECT_EQ(whole.total_windows, 3);
  EXPECT_EQ(whole.start_idx, 0);
  EXPECT_EQ(whole.end_idx, 3);
  EXPECT_EQ(two_decimals(range_progress(whole, 0)), "33.33");
  EXPECT_EQ(two_decimals(range_progress(whole, 1)), "66.67");
  EXPECT_EQ(two_decimals(range_progress(whole, 2)), "100.00");

  EXPECT_EQ(plan_windows(0, 50, std::nullopt, std::nullopt).total_windows, 0);
  WindowPlan range = plan_windows(120, 50, 2, 2);
  EXPECT_EQ(range.start_idx, 1);
  EXPECT_EQ(range.end_idx, 2);
  EXPECT_EQ(two_decimals(range_progress(range, 1)), "100.00");
  // Bounds beyond the file are clamped; a start after the end processes nothing.
  WindowPlan clamped = plan_windows(120, 50, -4, 99);
  EXPECT_EQ(clamped.start_idx, 0);
  EXPECT_EQ(clamped.end_idx, 3);
  WindowPlan empty = plan_windows(120, 50, 9, 0);
  EXPECT_GE(empty.start_idx, empty.end_idx);
}

TEST(ComparisonLog, GroupsReadAsReviewersExpect) {
  EXPECT_EQ(header("a.srt", "2026-01-02 03:04:05", "50", RangeLine{"2", "最后"}),
            "字幕文件: a.srt\n处理时间: 2026-01-02 03:04:05\n窗口大小: 50\n处理窗口范围: 2 到 最后\n\n" +
                std::string(80, '=') + "\n\n");
  EXPECT_EQ(window_opening({3, 101, 120}),
            "处理窗口 3 [块索引 101 到 120]\n" + std::string(80, '-') + "\n\n");
  EXPECT_EQ(used_block("7", "血案", "血氨", {"血案 → 血氨", "a → b"}, true),
            "字幕块 #7 - 使用API返回内容\n原始文本: 血案\nAPI返回: 血氨\n术语精确替换: 血案 → 血氨, a → b\n"
            "状态: 已修改\n最终使用: 血氨\n补充请求: 是\n\n");
  EXPECT_EQ(used_block("7", "同", "同", {}), "字幕块 #7 - 使用API返回内容\n原始文本: 同\nAPI返回: 同\n"
                                             "状态: 未修改\n最终使用: 同\n\n");
  EXPECT_EQ(used_block("9", "5 mg 左肺", "50 mg 右肺", {}, false, {"数值改动 5 mg → 50 mg", "左右改动 左肺 → 右肺"}),
            "字幕块 #9 - 使用API返回内容\n原始文本: 5 mg 左肺\nAPI返回: 50 mg 右肺\n状态: 已修改\n"
            "风险: 数值改动 5 mg → 50 mg；左右改动 左肺 → 右肺\n最终使用: 50 mg 右肺\n\n");
  EXPECT_EQ(kept_block("8", "原"), "字幕块 #8 - 使用原始内容（API未返回）\n原始文本: 原\nAPI返回: 未返回\n"
                                    "状态: 使用原始内容\n最终使用: 原\n\n");
  std::string error = error_section({2, 51, 100}, "boom", "RuntimeError");
  EXPECT_EQ(error.rfind(window_opening({2, 51, 100}), 0), 0u);  // the window line comes again
  EXPECT_NE(error.find("错误信息: boom\n错误类型: RuntimeError\n"), std::string::npos);
  EXPECT_EQ(removed_prose("以上为校正结果。"),
            "删除注释（代码块外）:\n" + std::string(40, '-') + "\n以上为校正结果。\n" +
                std::string(40, '-') + "\n\n");
}
