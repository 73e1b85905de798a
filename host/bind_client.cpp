// The chat-completions call with retries: one request per attempt through
// the host's `requests`, checks on the reply, then term replacement and
// annotation stripping of the returned text.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "host/bindings.h"
#include "host/cache.h"
#include "host/client_reply.h"
#include "host/client_request.h"
#include "host/host.h"
#include "host/method.h"
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


class Call {
 public:
  Call(py::object self, py::object text, py::object max_retries, py::object retry_delay,
       py::object timeout, const ClientContext &context)
      : self_(std::move(self)),
        context_(context),
        max_retries_(std::move(max_retries)),
        retry_delay_(std::move(retry_delay)),
        timeout_(std::move(timeout)),
        max_text_(host::str_of(max_retries_)),
        delay_text_(host::str_of(retry_delay_)) {
    body_ = build_body(self_, text);
    headers_["Content-Type"] = "application/json";
    // A configured time-out bounds the whole request; the method's own
    // argument alone is the HTTP client's time-out, as always.
    whole_request_ = !settings::value(self_.attr("config"), "request_timeout").is_none() &&
                     (PyLong_Check(timeout_.ptr()) || PyFloat_Check(timeout_.ptr())) &&
                     !PyBool_Check(timeout_.ptr());
    py::object api_key = self_.attr("api_key");
    host::remember_secret(api_key);
    headers_["Authorization"] = host::text("Bearer " + host::str_of(api_key));
  }

  FetchedReply run() {
    if (context_.cache) {
      cache_key_ = ReplyCache::key_for(body_);
      if (cache_key_) {
        // An unfinished reply stored by an earlier version is asked for again.
        std::optional<ReplyCache::Entry> hit = context_.cache->lookup(*cache_key_);
        if (hit && hit->finish_reason.equal(py::str("stop"))) {
          host::info("使用缓存的API响应 (窗口 " + std::to_string(context_.window) + ")");
          info_.finish_reason = hit->finish_reason;
          return {post_process(self_, hit->content, py::none(), info_), info_};
        }
      }
    }
    while (less_than(retry_count_, max_retries_)) {
      py::object result = host::guard([&] { return attempt(); },
                                      [&](py::error_already_set &error) {
                                        record_failure(error);
                                        return py::object();
                                      });
      if (result) return {result, info_};
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
    pipeline::AdaptiveLimit *gate = context_.gate;
    if (gate && gate->refusal()) {
      refusal_ = *gate->refusal();  // the account refused another request: none goes out
      return py::object();
    }
    if (gate && gate->closed()) raise_abandoned();
    host::info("正在调用API校正字幕（尝试 " + std::to_string(retry_count_ + 1) + "/" + max_text_ +
               "）...");
    long sent_in = 0;
    py::object response =
        post_request(self_, headers_, body_, timeout_, gate, whole_request_, &sent_in);
    if (!response) {
      refusal_ = *gate->refusal();
      return py::object();
    }
    py::object status = response.attr("status_code");
    if (gate) report_status(*gate, status, sent_in);
    // Finding the account's limit, a 429 beside other requests in flight is
    // the account's limit speaking, not the service failing: the request
    // goes again once the (halved) limit lets it, without a pause and
    // without counting as an attempt.
    while (gate && gate->finds_limit() && status.equal(py::int_(429)) && gate->in_flight() > 0) {
      host::info("API响应状态码: 429，已达账户并发上限，稍后重发");
      bool more;
      {
        long seen = gate->successes();
        py::gil_scoped_release release;
        // Bounded: the others may all fail, and this request must still go.
        more = gate->wait_for_success(seen, std::chrono::seconds(5));
      }
      if (!more && gate->closed()) raise_abandoned();
      response = post_request(self_, headers_, body_, timeout_, gate, whole_request_, &sent_in);
      if (!response) {
        refusal_ = *gate->refusal();
        return py::object();
      }
      status = response.attr("status_code");
      report_status(*gate, status, sent_in);
    }
    std::string status_text = host::str_of(status);
    host::info("API响应状态码: " + status_text);
    host::debug("API响应头: " + host::str_of(response.attr("headers")));
    raw_response_text_ = response.attr("text");

    if (!status.equal(py::int_(200))) return http_failure(response, status_text, gate);
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

  py::object http_failure(py::handle response, const std::string &status_text,
                          pipeline::AdaptiveLimit *gate) {
    host::error("API调用失败: HTTP " + status_text);
    if (detailed_logs_on(self_)) {
      host::error("API错误响应内容: " + quoted_reply(raw_response_text_));
    }
    log_error_body(response);
    // The same request would only be refused again (bad key, bad request,
    // an empty account).
    static constexpr const char *kRefusals[] = {"400", "401", "402", "403", "404", "422"};
    if (settings::flag(self_.attr("config"), "stop_on_client_errors") &&
        std::find(std::begin(kRefusals), std::end(kRefusals), status_text) != std::end(kRefusals)) {
      bool balance = status_text == "402";
      std::string message = (balance ? "账户余额不足 (HTTP 402)，不再重试: "
                                     : "服务拒绝了请求 (HTTP " + status_text + ")，不再重试: ") +
                            host::redact(refusal_text(response, raw_response_text_));
      host::error(message);
      refusal_ = message;
      // An empty account refuses every request: the others waiting to go
      // out fail with this message instead of being sent.
      if (balance && gate) gate->refuse(message);
      return py::object();  // no pause, no further attempt
    }
    return retry_or_give_up("API多次调用失败: HTTP " + status_text);
  }

  py::object read_reply(py::handle response) {
    ReplyContent reply = read_reply_content(self_, response);
    if (!reply.content) return retry_or_give_up(reply.retry_message);
    info_.finish_reason = reply.finish_reason;
    // Only a finished reply is worth replaying: a cut or filtered one would
    // be written the same way on every rerun.
    if (context_.cache && cache_key_ && reply.finish_reason.equal(py::str("stop"))) {
      context_.cache->store(*cache_key_, reply.content, reply.finish_reason, reply.usage);
    }
    return post_process(self_, reply.content, reply.usage, info_);
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

  py::object self_;
  ClientContext context_;
  ReplyInfo info_;
  py::object max_retries_, retry_delay_, timeout_;
  std::string max_text_, delay_text_;
  py::dict body_, headers_;
  long long retry_count_ = 0;
  py::object last_exception_ = py::none();
  std::optional<std::string> cache_key_;
  py::object raw_response_text_ = py::none();
  std::optional<std::string> refusal_;  // the service refused the request for good
  bool whole_request_ = false;
};

}  // namespace

FetchedReply call_client(py::object self, py::object text, py::object max_retries,
                         py::object retry_delay, py::object timeout, const ClientContext &context) {
  return Call(std::move(self), std::move(text), std::move(max_retries), std::move(retry_delay),
              std::move(timeout), context)
      .run();
}

FetchedReply ask_client(py::handle self, const std::string &text, py::handle timeout,
                        const ClientContext &context) {
  py::object engine = py::reinterpret_borrow<py::object>(self);
  if (method::is_defined(self, "call_deepseek_api_with_subtitle_prompt")) {
    return call_client(engine, host::text(text), py::int_(5), py::int_(5),
                       timeout ? py::reinterpret_borrow<py::object>(timeout) : py::int_(180),
                       context);
  }
  py::object call = engine.attr("call_deepseek_api_with_subtitle_prompt");
  return {timeout ? call(host::text(text), "timeout"_a = timeout) : call(host::text(text)),
          ReplyInfo{}};
}

py::object call_deepseek_api_with_subtitle_prompt(py::object self, py::object subtitle_text,
                                                  py::object max_retries, py::object retry_delay,
                                                  py::object timeout) {
  return call_client(std::move(self), std::move(subtitle_text), std::move(max_retries),
                     std::move(retry_delay), std::move(timeout), ClientContext{})
      .reply;
}

}  // namespace brivane::bind
