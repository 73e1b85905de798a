// Text of the comparison log's write groups. Each function returns exactly
// what one group writes; the caller opens, writes and closes the file.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivane::pipeline::comparison_log {

struct WindowSpan {
  long long number;       // one-based window number
  long long first_block;  // one-based position of its first block
  long long last_block;   // one-based position of its last block
};

// `range_line` is the "处理窗口范围" value pair, present only in range mode.
struct RangeLine {
  std::string start;
  std::string end;
};

std::string header(std::string_view file_path, std::string_view now, std::string_view window_size,
                   const std::optional<RangeLine> &range);
std::string window_opening(const WindowSpan &span);
std::string raw_reply(std::string_view corrected_text);
// The remarks a fenced reply made outside its fence, which were removed.
std::string removed_prose(std::string_view prose);
// `follow_up`: the block came from the follow-up request for missing blocks;
// `risks`: the labels of its medical risks, when they are logged.
std::string used_block(std::string_view index, std::string_view input_text,
                       std::string_view reply_text, const std::vector<std::string> &replacements,
                       bool follow_up = false, const std::vector<std::string> &risks = {});
std::string kept_block(std::string_view index, std::string_view input_text);
std::string window_closing();
std::string error_section(const WindowSpan &span, std::string_view message,
                          std::string_view type_name);
std::string termination_banner();

}  // namespace brivane::pipeline::comparison_log
