// The chat-completions call with retries: one request per attempt through
// the host's `requests`, checks on the reply, then term replacement and
// annotation stripping of the returned text.
#include <algorithm>
#include <optional>
#include <string>

#include "host/bindings.h"
#include "host/cache.h"
#include "host/host.h"
#include "host/settings.h"
#include "host/prefetch.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

bool less_than(long long count, py::handle limit) {
  int result = PyObject_RichCompareBool(py::int_(count).ptr(), limit.ptr(), Py_LT);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}


// Raised as the final action of a branch; the attempt's general handler
// catches it like any other failure.
[[noreturn]] void raise_plain(const std::string &message) {
  PyErr_SetObject(PyExc_Exception, host::text(message).ptr());
  throw py::error_already_set();
}

bool detailed_logs_on(py::handle self) {
  return settings::flag(self.attr("config"), "logging.enable_detailed_logs");
}

// The fixed members first; members of the optional `extra_body` section
// follow, replacing a fixed member of the same name in place.
py::dict build_body(py::handle self, py::handle subtitle_text) {
  py::dict body;
  body["model"] = self.attr("model");
  py::list messages;
  py::dict system_message, user_message;
  system_message["role"] = "system";
  system_message["content"] = self.attr("system_prompt");
  user_message["role"] = "user";
  user_message["content"] = subtitle_text;
  messages.append(system_message);
  messages.append(user_message);
  body["messages"] = messages;
  body["max_tokens"] = 2048;
  body["temperature"] = 0;
  body["top_p"] = 0.7;
  body["frequency_penalty"] = 0;
  body["presence_penalty"] = 0;
  py::object extra = settings::value(self.attr("config"), "extra_body");
  if (!extra.is_none()) {
    if (!py::isinstance<py::dict>(extra)) {
      throw py::type_error("配置项 extra_body 必须是JSON对象");
    }
    for (auto item : py::reinterpret_borrow<py::dict>(extra)) body[item.first] = item.second;
  }
  return body;
}

class Call {
 public:
  Call(py::object self, py::object text, py::object max_retries, py::object retry_delay,
       py::object timeout)
      : self_(std::move(self)),
        max_retries_(std::move(max_retries)),
        retry_delay_(std::move(retry_delay)),
        timeout_(std::move(timeout)),
        max_text_(host::str_of(max_retries_)),
        delay_text_(host::str_of(retry_delay_)) {
    body_ = build_body(self_, text);
    headers_["Content-Type"] = "application/json";
    py::object api_key = self_.attr("api_key");
    host::remember_secret(api_key);
    headers_["Authorization"] = host::text("Bearer " + host::str_of(api_key));
  }

  py::object run() {
    last_reply_info() = ReplyInfo{};
    CacheContext context = cache_context();
    if (context.cache) {
      cache_key_ = ReplyCache::key_for(body_);
      if (cache_key_) {
        if (std::optional<ReplyCache::Entry> hit = context.cache->lookup(*cache_key_)) {
          host::info("使用缓存的API响应 (窗口 " + std::to_string(context.window) + ")");
          last_reply_info().finish_reason = hit->finish_reason;
          return post_process(hit->content, py::none());
        }
      }
    }
    while (less_than(retry_count_, max_retries_)) {
      py::object result = host::guard([&] { return attempt(); },
                                      [&](py::error_already_set &error) {
                                        record_failure(error);
                                        return py::object();
                                      });
      if (result) return result;
      if (refusal_) raise_plain(*refusal_);
    }
    std::string message = "API在 " + max_text_ + " 次尝试后仍然失败: " + last_exception_text();
    host::error(message);
    raise_plain(message);
  }

 private:
  // One attempt. Returns the result pair, or a null object when the attempt
  // failed and another one follows.
  py::object attempt() {
    pipeline::AdaptiveLimit *gate = request_gate();
    if (gate && gate->closed()) raise_abandoned();
    host::info("正在调用API校正字幕（尝试 " + std::to_string(retry_count_ + 1) + "/" + max_text_ +
               "）...");
    py::object response = post(gate);
    py::object status = response.attr("status_code");
    if (gate) report(*gate, status);
    std::string status_text = host::str_of(status);
    host::info("API响应状态码: " + status_text);
    host::debug("API响应头: " + host::str_of(response.attr("headers")));
    raw_response_text_ = response.attr("text");

    if (!status.equal(py::int_(200))) return http_failure(response, status_text);
    try {
      return read_reply(response);
    } catch (py::error_already_set &error) {
      if (!error.matches(global("json").attr("JSONDecodeError").ptr()) &&
          !error.matches(PyExc_KeyError)) {
        throw;
      }
      std::string message = host::message_of(error);
      host::error("API响应解析错误: " + message);
      if (detailed_logs_on(self_)) {
        host::error("API原始响应内容: " + quoted_reply(raw_response_text_));
      }
      return retry_or_give_up("API多次响应解析失败: " + message);
    }
  }

  py::object post(pipeline::AdaptiveLimit *gate) {
    auto send = [&] {
      return global("requests").attr("post")(self_.attr("api_url"), "headers"_a = headers_,
                                             "json"_a = body_, "timeout"_a = timeout_);
    };
    if (!gate) return send();
    bool admitted;
    {
      py::gil_scoped_release release;
      admitted = gate->acquire();
    }
    if (!admitted) raise_abandoned();
    try {
      py::object response = send();
      gate->release();
      return response;
    } catch (...) {
      gate->release();
      throw;
    }
  }

  // The service pushing back (429, 503) halves the requests allowed in
  // flight; each successful reply lets one more back in.
  static void report(pipeline::AdaptiveLimit &gate, py::handle status) {
    std::optional<int> changed;
    if (status.equal(py::int_(429)) || status.equal(py::int_(503))) {
      changed = gate.throttled();
    } else if (status.equal(py::int_(200))) {
      changed = gate.succeeded();
    }
    if (changed) host::info("并发请求数调整为 " + std::to_string(*changed));
  }

  py::object http_failure(py::handle response, const std::string &status_text) {
    host::error("API调用失败: HTTP " + status_text);
    if (detailed_logs_on(self_)) {
      host::error("API错误响应内容: " + quoted_reply(raw_response_text_));
    }
    log_error_body(response);
    // The same request would only be refused again (bad key, bad request).
    static constexpr const char *kRefusals[] = {"400", "401", "403", "404", "422"};
    if (settings::flag(self_.attr("config"), "stop_on_client_errors") &&
        std::find(std::begin(kRefusals), std::end(kRefusals), status_text) != std::end(kRefusals)) {
      std::string message = "服务拒绝了请求 (HTTP " + status_text + ")，不再重试: " +
                            host::redact(refusal_text(response));
      host::error(message);
      refusal_ = message;
      return py::object();  // no pause, no further attempt
    }
    return retry_or_give_up("API多次调用失败: HTTP " + status_text);
  }

  // What the service said of a refusal: its error message, else the start
  // of its reply.
  std::string refusal_text(py::handle response) {
    try {
      py::object data = response.attr("json")();
      py::object error = host::get(data, "error", py::none());
      py::object message = error.is_none() ? py::object(py::none()) : host::get(error, "message", py::none());
      if (!message.is_none()) return host::str_of(message);
    } catch (py::error_already_set &error) {
      if (!host::is_ordinary(error)) throw;
    }
    return quoted_reply(raw_response_text_);
  }

  // A reply as an error record quotes it: the first 200 characters, and the
  // length when there is more.
  static std::string quoted_reply(py::handle text) {
    py::object shown = py::str(text);
    Py_ssize_t length = py::len(shown);
    if (length <= 200) return host::str_of(shown);
    return host::str_of(shown[py::slice(0, 200, 1)]) + "…（共 " + std::to_string(length) + " 个字符）";
  }

  // Best effort: any failure while reading the error body, of whatever kind,
  // is reported as an unreadable body.
  static void log_error_body(py::handle response) {
    try {
      py::object error_data = response.attr("json")();
      if (host::contains(error_data, "error")) {
        py::object error_info = error_data["error"];
        host::error("API错误类型: " + host::str_of(host::get(error_info, "type", py::str("unknown"))));
        host::error("API错误消息: " +
                    host::str_of(host::get(error_info, "message", py::str("no message"))));
      }
    } catch (...) {
      host::error("无法解析API错误响应为JSON格式");
    }
  }

  py::object read_reply(py::handle response) {
    py::object data = response.attr("json")();
    // What the service sends back may quote the key.
    global("print")(host::text(host::redact(host::str_of(data))));
    if (detailed_logs_on(self_)) {
      py::object dumped =
          global("json").attr("dumps")(data, "ensure_ascii"_a = false, "indent"_a = 2);
      host::debug("API完整响应: " + host::str_of(dumped));
    }
    if (host::contains(data, "error")) {
      py::object error_info = host::get(data, "error", py::dict());
      std::string message = host::str_of(host::get(error_info, "message", host::text("未知错误")));
      host::error("API返回错误: " + message);
      return retry_or_give_up("API多次调用失败: " + message);
    }
    if (!host::contains(data, "choices") || !host::truthy(data["choices"])) {
      host::error("API响应格式不正确，缺少choices字段");
      return retry_or_give_up("API多次返回格式不正确的响应");
    }
    py::object first_choice = data["choices"][py::int_(0)];
    py::object content = first_choice["message"]["content"];
    if (!PyUnicode_Check(content.ptr())) {
      raise_plain("API响应内容为空或不是文本: " + host::str_of(py::repr(content)));
    }
    if (host::contains(data, "usage")) {
      py::object usage = data["usage"];
      py::str na("N/A");
      host::info("API使用情况 - 输入tokens: " + host::str_of(host::get(usage, "prompt_tokens", na)) +
                 ", 输出tokens: " + host::str_of(host::get(usage, "completion_tokens", na)) +
                 ", 总tokens: " + host::str_of(host::get(usage, "total_tokens", na)));
    }
    py::object finish_reason = host::get(first_choice, "finish_reason", py::none());
    if (host::truthy(finish_reason)) {
      host::info("API完成原因: " + host::str_of(finish_reason));
      if (finish_reason.equal(py::str("length"))) {
        host::warning("警告: API响应因达到最大长度限制而被截断");
      }
    }
    last_reply_info().finish_reason = finish_reason;
    py::object usage = host::get(data, "usage", py::none());
    CacheContext context = cache_context();
    if (context.cache && cache_key_) {
      context.cache->store(*cache_key_, content, finish_reason, usage);
    }
    return post_process(content, usage);
  }

  // The glossary, then the commentary stripping, on a reply's content; each
  // stage is kept for the review of where an edit came from.
  py::object post_process(py::handle content, py::handle usage) {
    host::info("正在应用错误术语库精确替换...");
    py::object corrected = self_.attr("apply_term_corrections")(content);
    py::object replaced_text = corrected[py::int_(0)];
    py::object replacement_details = corrected[py::int_(1)];
    py::object final_text = self_.attr("remove_annotations")(replaced_text);
    ReplyInfo &info = last_reply_info();
    info.returned = py::reinterpret_borrow<py::object>(content);
    info.after_glossary = replaced_text;
    info.usage = py::reinterpret_borrow<py::object>(usage);
    return py::make_tuple(final_text, replacement_details);
  }

  // Counts a failed attempt; true when another attempt follows (after the
  // pause), false when this was the last one.
  bool count_attempt() {
    ++retry_count_;
    if (!less_than(retry_count_, max_retries_)) return false;
    host::info("将在 " + delay_text_ + " 秒后重试...");
    global("time").attr("sleep")(retry_delay_);
    return true;
  }

  // The end of an attempt that failed through a checked branch: the next
  // attempt (null result), or, after the last one, the branch's final record
  // and a plain failure with its text.
  py::object retry_or_give_up(const std::string &final_message) {
    if (count_attempt()) return py::object();
    host::error(final_message);
    raise_plain(final_message);
  }

  // A failure that ended the attempt: logged, kept as the last exception,
  // counted.
  void record_failure(const py::error_already_set &error) {
    bool transport = error.matches(global("requests").attr("RequestException").ptr());
    host::error((transport ? "API请求异常: " : "调用API时发生未知错误: ") + host::message_of(error));
    last_exception_ = error.value();
    count_attempt();
  }

  std::string last_exception_text() const { return host::str_of(last_exception_); }

  py::object self_, max_retries_, retry_delay_, timeout_;
  std::string max_text_, delay_text_;
  py::dict body_, headers_;
  long long retry_count_ = 0;
  py::object last_exception_ = py::none();
  std::optional<std::string> cache_key_;
  py::object raw_response_text_ = py::none();
  std::optional<std::string> refusal_;  // the service refused the request for good
};

}  // namespace

py::object call_deepseek_api_with_subtitle_prompt(py::object self, py::object subtitle_text,
                                                  py::object max_retries, py::object retry_delay,
                                                  py::object timeout) {
  return Call(std::move(self), std::move(subtitle_text), std::move(max_retries),
              std::move(retry_delay), std::move(timeout))
      .run();
}

}  // namespace brivane::bind
