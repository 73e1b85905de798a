#include "pipeline/windowing.h"

#include <algorithm>
#include <cstdio>

namespace brivane::pipeline {

WindowPlan plan_windows(long long block_count, long long window_size,
                        std::optional<long long> start_window, std::optional<long long> end_window) {
  WindowPlan plan;
  plan.total_windows = (block_count + window_size - 1) / window_size;
  plan.start_idx = std::max(0LL, start_window ? *start_window - 1 : 0);
  plan.end_idx = std::min(plan.total_windows, end_window ? *end_window : plan.total_windows);
  return plan;
}

double range_progress(const WindowPlan &plan, long long window_idx) {
  return static_cast<double>(window_idx + 1 - plan.start_idx) /
         static_cast<double>(plan.end_idx - plan.start_idx) * 100;
}

std::string two_decimals(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

}  // namespace brivane::pipeline
