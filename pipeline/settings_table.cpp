// The configuration's keys and their messages (settings_table.h).

#include "pipeline/settings_table.h"

#include <stdexcept>

namespace brivane::settings {

std::string_view rule_text(Rule rule) {
  switch (rule) {
    case Rule::nonempty_text: return "必须是非空字符串";
    case Rule::positive_integer: return "必须是正整数";
    case Rule::requests_in_flight: return "必须是正整数或 \"auto\"";
    case Rule::positive_number: return "必须是正数";
    case Rule::flag: return "必须是 true 或 false";
    case Rule::path: return "必须是文件路径";
    case Rule::path_list: return "必须是路径列表";
    case Rule::object:
    case Rule::object_or_null: return "必须是JSON对象";
    case Rule::encoding: return "必须是 \"auto\" 或编码名称";
    case Rule::text: return "必须是字符串";
    case Rule::stored: break;
  }
  return "";
}

const std::vector<Key> &keys() {
  static const std::vector<Key> table = {
      {"api_url", Rule::nonempty_text, "null", "—"},
      {"model", Rule::nonempty_text, "null", "—"},
      {"window_size", Rule::positive_integer, "50", "50"},
      {"file_pattern", Rule::text, "\"*.srt\"", "`*.srt`"},
      {"backup_dir", Rule::text, "\"backup\"", "`backup`"},
      {"error_terms_file", Rule::text, "\"error_terms_library.json\"", "`error_terms_library.json`"},
      {"glossary_files", Rule::path_list, "null", "absent (packaged glossary only)"},
      {"preserve_original_index", Rule::stored, "true", "true"},
      {"logging", Rule::object, "{}", "—"},
      {"extra_body", Rule::object_or_null, "null", "absent"},
      {"max_concurrent_requests", Rule::requests_in_flight, "1", "1"},
      {"max_concurrent_requests_start", Rule::positive_integer, "16", "16"},
      {"max_concurrent_requests_cap", Rule::positive_integer, "512", "512"},
      {"request_timeout", Rule::positive_number, "null", "180"},
      {"reply_cache", Rule::path, "null", "absent (no cache)"},
      {"retry_missing_blocks", Rule::flag, "false", "false"},
      {"review_report", Rule::flag, "false", "false"},
      {"stop_on_client_errors", Rule::flag, "false", "false"},
      {"input_encoding", Rule::encoding, "null", "UTF-8"},
      {"pricing", Rule::object_or_null, "null", "absent (no cost shown)"},
      {"risk_checks", Rule::flag, "false", "false"},
      {"logging.enable_subtitle_logs", Rule::flag, "true", "true"},
      {"logging.enable_detailed_logs", Rule::flag, "true", "true"},
      {"logging.log_dir", Rule::text, "\"subtitle_logs\"", "`subtitle_logs`"},
      {"logging.keep_comparison_log_open", Rule::flag, "false", "false"},
  };
  return table;
}

const Key &key(std::string_view name) {
  for (const Key &k : keys()) {
    if (name == k.name) return k;
  }
  throw std::logic_error("no such configuration key: " + std::string(name));
}

std::string problem(const Key &key, const std::string &shown_value) {
  return "配置项 " + std::string(key.name) + " " + std::string(rule_text(key.rule)) +
         "，当前值: " + shown_value;
}

}  // namespace brivane::settings
