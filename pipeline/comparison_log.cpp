#include "pipeline/comparison_log.h"

namespace brivane::pipeline::comparison_log {
namespace {

const std::string kHeavyRule(80, '=');
const std::string kWindowRule(80, '-');
const std::string kSectionRule(40, '-');

std::string cat(std::initializer_list<std::string_view> parts) {
  size_t size = 0;
  for (auto p : parts) size += p.size();
  std::string out;
  out.reserve(size);
  for (auto p : parts) out.append(p);
  return out;
}

// "{label}{items joined by separator}\n", or nothing without items.
std::string listed_line(std::string_view label, const std::vector<std::string> &items,
                        std::string_view separator) {
  if (items.empty()) return {};
  std::string out(label);
  for (size_t k = 0; k < items.size(); ++k) {
    if (k) out += separator;
    out += items[k];
  }
  return out + "\n";
}

}  // namespace

std::string header(std::string_view file_path, std::string_view now, std::string_view window_size,
                   const std::optional<RangeLine> &range) {
  std::string out = cat({"字幕文件: ", file_path, "\n", "处理时间: ", now, "\n", "窗口大小: ",
                         window_size, "\n"});
  if (range) out += cat({"处理窗口范围: ", range->start, " 到 ", range->end, "\n"});
  return out + cat({"\n", kHeavyRule, "\n\n"});
}

std::string window_opening(const WindowSpan &span) {
  return cat({"处理窗口 ", std::to_string(span.number), " [块索引 ",
              std::to_string(span.first_block), " 到 ", std::to_string(span.last_block), "]\n",
              kWindowRule, "\n\n"});
}

std::string raw_reply(std::string_view corrected_text) {
  return cat({"API响应原始内容:\n", kSectionRule, "\n", corrected_text, "\n", kSectionRule,
              "\n\n"});
}

std::string removed_prose(std::string_view prose) {
  return cat({"删除注释（代码块外）:\n", kSectionRule, "\n", prose, "\n", kSectionRule, "\n\n"});
}

std::string used_block(std::string_view index, std::string_view input_text,
                       std::string_view reply_text, const std::vector<std::string> &replacements,
                       bool follow_up, const std::vector<std::string> &risks) {
  std::string out = cat({"字幕块 #", index, " - 使用API返回内容\n", "原始文本: ", input_text, "\n",
                         "API返回: ", reply_text, "\n"});
  out += listed_line("术语精确替换: ", replacements, ", ");
  const char *state = input_text == reply_text ? "未修改" : "已修改";
  out += cat({"状态: ", state, "\n"});
  out += listed_line("风险: ", risks, "；");
  out += cat({"最终使用: ", reply_text, "\n"});
  if (follow_up) out += "补充请求: 是\n";
  return out + "\n";
}

std::string kept_block(std::string_view index, std::string_view input_text) {
  return cat({"字幕块 #", index, " - 使用原始内容（API未返回）\n", "原始文本: ", input_text, "\n",
              "API返回: 未返回\n", "状态: 使用原始内容\n", "最终使用: ", input_text, "\n\n"});
}

std::string window_closing() { return kHeavyRule + "\n\n"; }

std::string error_section(const WindowSpan &span, std::string_view message,
                          std::string_view type_name) {
  // The window line is repeated even when the opening was already written.
  return window_opening(span) + cat({"API调用错误:\n", kSectionRule, "\n", "错误信息: ", message,
                                     "\n", "错误类型: ", type_name, "\n", kSectionRule, "\n\n"});
}

std::string termination_banner() {
  return cat({kHeavyRule, "\n", "程序因API调用失败而终止执行！\n", kHeavyRule, "\n\n"});
}

}  // namespace brivane::pipeline::comparison_log
