#include "pipeline/request_policy.h"

#include <algorithm>
#include <utility>

namespace brivane::pipeline {

RequestAttempts::RequestAttempts(std::function<bool(long long)> allows, std::string max_text,
                                 std::string delay_text, Log &log)
    : allows_(std::move(allows)),
      max_text_(std::move(max_text)),
      delay_text_(std::move(delay_text)),
      log_(log) {}

void RequestAttempts::starting() {
  log_.info("正在调用API校正字幕（尝试 " + std::to_string(failed_ + 1) + "/" + max_text_ + "）...");
}

bool RequestAttempts::count() {
  ++failed_;
  if (!allows_(failed_)) return false;
  log_.info("将在 " + delay_text_ + " 秒后重试...");
  return true;
}

bool RequestAttempts::retry_after(const std::string &final_message) {
  if (count()) return true;
  log_.error(final_message);
  return false;
}

bool RequestAttempts::failed_by(const std::string &message, bool transport) {
  log_.error((transport ? "API请求异常: " : "调用API时发生未知错误: ") + message);
  return count();
}

std::string RequestAttempts::exhausted(const std::string &last_failure) {
  std::string message = "API在 " + max_text_ + " 次尝试后仍然失败: " + last_failure;
  log_.error(message);
  return message;
}

std::optional<std::string> refusal_message(long status, bool stop_on_client_errors,
                                           std::string_view service_text) {
  static constexpr long kRefusals[] = {400, 401, 402, 403, 404, 422};
  if (!stop_on_client_errors ||
      std::find(std::begin(kRefusals), std::end(kRefusals), status) == std::end(kRefusals)) {
    return std::nullopt;
  }
  std::string message = empties_account(status)
                            ? "账户余额不足 (HTTP 402)，不再重试: "
                            : "服务拒绝了请求 (HTTP " + std::to_string(status) + ")，不再重试: ";
  return message.append(service_text);
}

void observe_status(AdaptiveLimit &limit, long status, long sent_in, Log &log) {
  std::optional<int> changed;
  if (status == 429 || status == 503) {
    changed = limit.throttled(sent_in);
  } else if (status == 200) {
    changed = limit.succeeded();
  }
  if (changed) log.info("并发请求数调整为 " + std::to_string(*changed));
}

bool refused_by_account_limit(const AdaptiveLimit &limit, long status) {
  return limit.finds_limit() && status == 429 && limit.in_flight() > 0;
}

Finish finish_of(std::string_view finish_reason) {
  Finish finish;
  finish.cut_off = finish_reason == "length" || finish_reason == "insufficient_system_resource";
  finish.filtered = finish_reason == "content_filter";
  finish.stored = finish_reason == "stop";
  return finish;
}

void record_finish(std::string_view finish_reason, long long reasoning_tokens,
                   bool empty_content, Log &log) {
  if (finish_reason.empty()) return;
  log.info("API完成原因: " + std::string(finish_reason));
  if (finish_reason == "length") {
    log.warning("警告: API响应因达到最大长度限制而被截断");
    // A model that thinks first spends the output budget on its reasoning;
    // nothing else would say why the reply came back empty or cut.
    if (reasoning_tokens > 0) {
      log.warning("模型推理用去 " + std::to_string(reasoning_tokens) + " 个输出 tokens，回复" +
                  (empty_content ? "为空" : "被截断") +
                  "；在配置中设置 \"extra_body\": {\"thinking\": {\"type\": \"disabled\"}} 可关闭推理");
    }
  } else if (finish_reason == "insufficient_system_resource") {
    log.warning("警告: 服务端资源不足，API响应被中断 (insufficient_system_resource)");
  }
}

}  // namespace brivane::pipeline
