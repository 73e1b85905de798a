// Window arithmetic of the file correction.
#pragma once
#include <optional>
#include <string>

namespace brivane::pipeline {

struct WindowPlan {
  long long total_windows = 0;
  long long start_idx = 0;  // first processed window, zero-based
  long long end_idx = 0;    // one past the last processed window
};

// `window_size` > 0. `start_window`/`end_window` are the caller's one-based,
// inclusive bounds; both are clamped to the file's windows, and a start
// after the end simply processes nothing.
WindowPlan plan_windows(long long block_count, long long window_size,
                        std::optional<long long> start_window, std::optional<long long> end_window);

// Progress through the processed range after window `window_idx`, in
// percent. Counted from the range's first window so a range that starts
// late still ends at 100.
double range_progress(const WindowPlan &plan, long long window_idx);

// `format(value, ".2f")`.
std::string two_decimals(double value);

}  // namespace brivane::pipeline
