// Getting the replies: the reply cache, the chat-completions call (one
// request per attempt through the host's `requests`, as the core's request
// policy decides) and the threads that fetch a batch's windows ahead.

#include "host/client.h"

#include <pybind11/gil_safe_call_once.h>

#include <algorithm>
#include <chrono>
#include <cxxabi.h>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/engine.h"
#include "host/host.h"
#include "host/settings.h"
#include "pipeline/request_policy.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS replies ("
    " key TEXT PRIMARY KEY, content TEXT NOT NULL, finish_reason TEXT,"
    " usage TEXT, stored_at TEXT NOT NULL)";

}  // namespace

std::shared_ptr<ReplyCache> ReplyCache::configured(py::handle self) {
  py::object setting = settings::value(self.attr("config"), "reply_cache");
  if (setting.is_none()) return nullptr;
  py::object path = global("os").attr("path").attr("join")(self.attr("output_dir"), setting);
  auto cache = std::make_shared<ReplyCache>(path);
  // Created and switched to WAL here, on the calling thread, before any
  // fetch thread opens it: several first openings at once could find the
  // store locked and give up on it for the whole run.
  cache->connection();
  return cache;
}

ReplyCache::ReplyCache(py::object path) : path_(std::move(path)) {}

ReplyCache::~ReplyCache() {
  for (auto &entry : connections_) {
    try {
      entry.second.attr("close")();
    } catch (py::error_already_set &) {
    }
  }
}

std::optional<std::string> ReplyCache::key_for(py::handle body) {
  try {
    // The bytes `requests` sends for `json=body`.
    py::object text = global("json").attr("dumps")(body, "allow_nan"_a = false);
    py::object digest = py::module_::import("hashlib").attr("sha256")(text.attr("encode")("utf-8"));
    return host::str_of(digest.attr("hexdigest")());
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    return std::nullopt;
  }
}

py::object ReplyCache::connection() {
  if (broken_) return py::object();
  auto found = connections_.find(std::this_thread::get_id());
  if (found != connections_.end()) return found->second;
  try {
    py::object path = path_;
    py::object folder = global("os").attr("path").attr("dirname")(path);
    if (host::truthy(folder)) global("os").attr("makedirs")(folder, "exist_ok"_a = true);
    // A store locked by another writer for this long counts as broken.
    py::object db = py::module_::import("sqlite3").attr("connect")(
        path, "timeout"_a = 10.0, "check_same_thread"_a = false);
    if (!prepared_) {
      try {
        db.attr("execute")("PRAGMA journal_mode=WAL");
        db.attr("execute")(kSchema);
        db.attr("commit")();
      } catch (...) {
        db.attr("close")();
        throw;
      }
      prepared_ = true;  // the mode and the table stay with the file
    }
    connections_.emplace(std::this_thread::get_id(), db);
    return db;
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    give_up(error);
    return py::object();
  }
}

void ReplyCache::give_up(const py::error_already_set &error) {
  if (broken_) return;
  broken_ = true;
  host::warning("回复缓存不可用，本次运行不使用缓存: " + host::str_of(path_) + " (" +
                host::message_of(error) + ")");
}

std::optional<ReplyCache::Entry> ReplyCache::lookup(const std::string &key) {
  py::object db = connection();
  if (!db) return std::nullopt;
  try {
    py::object row =
        db.attr("execute")("SELECT content, finish_reason FROM replies WHERE key = ?",
                           py::make_tuple(key))
            .attr("fetchone")();
    if (row.is_none()) return std::nullopt;
    return Entry{row[py::int_(0)], row[py::int_(1)]};
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    give_up(error);
    return std::nullopt;
  }
}

void ReplyCache::store(const std::string &key, py::handle content, py::handle finish_reason,
                       py::handle usage) {
  py::object db = connection();
  if (!db) return;
  try {
    py::object usage_text = usage.is_none()
                                ? py::object(py::none())
                                : global("json").attr("dumps")(usage, "ensure_ascii"_a = false);
    py::object now = global("datetime").attr("now")().attr("isoformat")("timespec"_a = "seconds");
    py::object reason = finish_reason.is_none() || PyUnicode_Check(finish_reason.ptr())
                            ? py::reinterpret_borrow<py::object>(finish_reason)
                            : py::object(py::str(finish_reason));
    host::with(db, [&] {
      db.attr("execute")(
          "INSERT OR REPLACE INTO replies (key, content, finish_reason, usage, stored_at)"
          " VALUES (?, ?, ?, ?, ?)",
          py::make_tuple(key, content, reason, usage_text, now));
    });
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    give_up(error);
  }
}

}  // namespace brivane::bind

namespace brivane::bind {
using host::global;
using namespace pybind11::literals;

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

namespace {

using Clock = std::chrono::steady_clock;

// The socket a streamed response reads from, where the HTTP client lets us
// see it; None elsewhere.
py::object socket_of(py::handle raw) {
  try {
    return py::getattr(py::getattr(raw, "_connection", py::none()), "sock", py::none());
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    return py::none();
  }
}

[[noreturn]] void raise_request_error(const char *type, const std::string &message) {
  py::object error = global("requests").attr("exceptions").attr(type)(host::text(message));
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The body of a streamed response, read as it arrives until `deadline`.
// Reading stops there and the request counts as timed out.
void read_body_by(py::handle response, Clock::time_point deadline, py::handle timeout) {
  py::object raw = py::getattr(response, "raw", py::none());
  if (raw.is_none() || !py::hasattr(raw, "read1")) return;  // a response that reads itself
  py::object sock = socket_of(raw);
  py::list chunks;
  py::object transport_errors = py::module_::import("urllib3.exceptions").attr("HTTPError");
  auto give_up = [&] {
    response.attr("close")();
    raise_request_error("ReadTimeout", "请求在 " + host::str_of(timeout) +
                                           " 秒内未完成，已放弃 (request_timeout)");
  };
  while (true) {
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) give_up();
    if (!sock.is_none()) sock.attr("settimeout")(left);  // silence ends at the deadline too
    py::object chunk;
    try {
      chunk = raw.attr("read1")(65536, "decode_content"_a = true);
    } catch (py::error_already_set &error) {
      if (!error.matches(transport_errors.ptr())) throw;
      if (Clock::now() >= deadline) give_up();
      raise_request_error("ConnectionError", host::message_of(error));
    }
    if (py::len(chunk) == 0) break;
    chunks.append(chunk);
  }
  py::setattr(response, "_content", py::bytes("").attr("join")(chunks));
  py::setattr(response, "_content_consumed", py::bool_(true));
  response.attr("close")();
}

}  // namespace

py::object post_request(py::handle self, py::handle headers, py::handle body, py::handle timeout,
                        pipeline::AdaptiveLimit *gate, bool whole_request, long *sent_in) {
  auto send = [&] {
    py::object post = global("requests").attr("post");
    if (!whole_request) {
      return post(self.attr("api_url"), "headers"_a = headers, "json"_a = body,
                  "timeout"_a = timeout);
    }
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(timeout.cast<double>()));
    py::object response = post(self.attr("api_url"), "headers"_a = headers, "json"_a = body,
                               "timeout"_a = timeout, "stream"_a = true);
    read_body_by(response, deadline, timeout);
    return response;
  };
  if (!gate) return send();
  bool admitted;
  {
    py::gil_scoped_release release;
    admitted = gate->acquire();
  }
  if (!admitted) {
    if (gate->refusal()) return py::object();
    raise_abandoned();
  }
  if (sent_in) *sent_in = gate->round();
  try {
    py::object response = send();
    gate->release();
    return response;
  } catch (...) {
    gate->release();
    throw;
  }
}

}  // namespace brivane::bind

namespace brivane::bind {
using host::global;
using namespace pybind11::literals;

void raise_plain(const std::string &message) {
  PyErr_SetObject(PyExc_Exception, host::text(message).ptr());
  throw py::error_already_set();
}

bool detailed_logs_on(py::handle self) {
  return settings::flag(self.attr("config"), "logging.enable_detailed_logs");
}

std::string quoted_reply(py::handle text) {
  py::object shown = py::str(text);
  Py_ssize_t length = py::len(shown);
  if (length <= 200) return host::str_of(shown);
  return host::str_of(shown[py::slice(0, 200, 1)]) + "…（共 " + std::to_string(length) + " 个字符）";
}

void log_error_body(py::handle response) {
  // Any failure while reading the body, of whatever kind, is reported as an
  // unreadable body.
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

std::string refusal_text(py::handle response, py::handle raw_text) {
  try {
    py::object data = response.attr("json")();
    py::object error = host::get(data, "error", py::none());
    py::object message =
        error.is_none() ? py::object(py::none()) : host::get(error, "message", py::none());
    if (!message.is_none()) return host::str_of(message);
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
  }
  return quoted_reply(raw_text);
}

namespace {

// The reasoning tokens a reply reports, or 0.
long long reasoning_tokens(py::handle data) {
  py::object usage = host::get(data, "usage", py::none());
  if (!PyDict_Check(usage.ptr())) return 0;
  py::object details = host::get(usage, "completion_tokens_details", py::none());
  if (!PyDict_Check(details.ptr())) return 0;
  py::object tokens = host::get(details, "reasoning_tokens", py::none());
  if (!PyLong_Check(tokens.ptr()) || PyBool_Check(tokens.ptr())) return 0;
  return saturated(tokens);
}

}  // namespace

ReplyContent read_reply_content(py::handle self, py::handle response) {
  ReplyContent reply;
  py::object data = response.attr("json")();
  // What the service sends back may quote the key.
  global("print")(host::text(host::redact(host::str_of(data))));
  if (detailed_logs_on(self)) {
    py::object dumped = global("json").attr("dumps")(data, "ensure_ascii"_a = false, "indent"_a = 2);
    host::debug("API完整响应: " + host::str_of(dumped));
  }
  if (host::contains(data, "error")) {
    py::object error_info = host::get(data, "error", py::dict());
    std::string message = host::str_of(host::get(error_info, "message", host::text("未知错误")));
    host::error("API返回错误: " + message);
    reply.retry_message = "API多次调用失败: " + message;
    return reply;
  }
  if (!host::contains(data, "choices") || !host::truthy(data["choices"])) {
    host::error("API响应格式不正确，缺少choices字段");
    reply.retry_message = "API多次返回格式不正确的响应";
    return reply;
  }
  py::object first_choice = data["choices"][py::int_(0)];
  py::object content = first_choice["message"]["content"];
  py::object finish_reason = host::get(first_choice, "finish_reason", py::none());
  // A filtered reply may hold no content at all: its blocks are kept as sent.
  if (content.is_none() && finish_reason.equal(py::str("content_filter"))) content = py::str("");
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
  HostLog records;
  pipeline::record_finish(host::truthy(finish_reason) ? host::str_of(finish_reason) : std::string(),
                          reasoning_tokens(data), py::len(content) == 0, records);
  reply.content = content;
  reply.finish_reason = finish_reason;
  reply.usage = host::get(data, "usage", py::none());
  return reply;
}

py::object post_process(py::handle self, py::handle content, py::handle usage, ReplyInfo &info) {
  host::info("正在应用错误术语库精确替换...");
  py::object corrected = self.attr("apply_term_corrections")(content);
  py::object replaced_text = corrected[py::int_(0)];
  py::object replacement_details = corrected[py::int_(1)];
  py::object final_text = self.attr("remove_annotations")(replaced_text);
  info.returned = py::reinterpret_borrow<py::object>(content);
  info.after_glossary = replaced_text;
  info.usage = py::reinterpret_borrow<py::object>(usage);
  return py::make_tuple(final_text, replacement_details);
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

bool less_than(long long count, py::handle limit) {
  int result = PyObject_RichCompareBool(py::int_(count).ptr(), limit.ptr(), Py_LT);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// An HTTP status as a number; -1 for one that is not a whole number.
long status_code(py::handle status) {
  if (!PyLong_Check(status.ptr())) return -1;
  return static_cast<long>(saturated(status));
}

class Call {
 public:
  Call(py::object self, py::object text, py::object max_retries, py::object retry_delay,
       py::object timeout, const ClientContext &context)
      : self_(std::move(self)),
        context_(context),
        retry_delay_(std::move(retry_delay)),
        timeout_(std::move(timeout)),
        attempts_([limit = max_retries](long long n) { return less_than(n, limit); },
                  host::str_of(max_retries), host::str_of(retry_delay_), records_) {
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
        if (hit && pipeline::finish_of(finish_text(hit->finish_reason)).stored) {
          host::info("使用缓存的API响应 (窗口 " + std::to_string(context_.window) + ")");
          info_.finish_reason = hit->finish_reason;
          return {post_process(self_, hit->content, py::none(), info_), info_};
        }
      }
    }
    while (attempts_.more()) {
      py::object result = host::guard([&] { return attempt(); },
                                      [&](py::error_already_set &error) {
                                        record_failure(error);
                                        return py::object();
                                      });
      if (result) return {result, info_};
      if (refusal_) raise_plain(*refusal_);
    }
    raise_plain(attempts_.exhausted(host::str_of(last_exception_)));
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
    attempts_.starting();
    py::object response, status;
    for (bool refused_by_account = false;;) {
      if (refused_by_account) {
        host::info("API响应状态码: 429，已达账户并发上限，稍后重发");
        bool more;
        {
          long seen = gate->successes();
          py::gil_scoped_release release;
          // Bounded: the others may all fail, and this request must still go.
          more = gate->wait_for_success(seen, std::chrono::seconds(5));
        }
        if (!more && gate->closed()) raise_abandoned();
      }
      long sent_in = 0;
      response = post_request(self_, headers_, body_, timeout_, gate, whole_request_, &sent_in);
      if (!response) {
        refusal_ = *gate->refusal();
        return py::object();
      }
      status = response.attr("status_code");
      if (gate) pipeline::observe_status(*gate, status_code(status), sent_in, records_);
      refused_by_account = gate && pipeline::refused_by_account_limit(*gate, status_code(status));
      if (!refused_by_account) break;
    }
    std::string status_text = host::str_of(status);
    host::info("API响应状态码: " + status_text);
    host::debug("API响应头: " + host::str_of(response.attr("headers")));
    raw_response_text_ = response.attr("text");

    if (!status.equal(py::int_(200))) return http_failure(response, status, status_text, gate);
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

  py::object http_failure(py::handle response, py::handle status, const std::string &status_text,
                          pipeline::AdaptiveLimit *gate) {
    host::error("API调用失败: HTTP " + status_text);
    if (detailed_logs_on(self_)) {
      host::error("API错误响应内容: " + quoted_reply(raw_response_text_));
    }
    log_error_body(response);
    long code = status_code(status);
    std::optional<std::string> refusal = pipeline::refusal_message(
        code, settings::flag(self_.attr("config"), "stop_on_client_errors"),
        host::redact(refusal_text(response, raw_response_text_)));
    if (refusal) {
      host::error(*refusal);
      refusal_ = refusal;
      // An empty account refuses every request: the others waiting to go
      // out fail with this message instead of being sent.
      if (pipeline::empties_account(code) && gate) gate->refuse(*refusal);
      return py::object();  // no pause, no further attempt
    }
    return retry_or_give_up("API多次调用失败: HTTP " + status_text);
  }

  py::object read_reply(py::handle response) {
    ReplyContent reply = read_reply_content(self_, response);
    if (!reply.content) return retry_or_give_up(reply.retry_message);
    info_.finish_reason = reply.finish_reason;
    // A cut or filtered reply would be written the same way on every rerun.
    if (context_.cache && cache_key_ && pipeline::finish_of(finish_text(reply.finish_reason)).stored) {
      context_.cache->store(*cache_key_, reply.content, reply.finish_reason, reply.usage);
    }
    return post_process(self_, reply.content, reply.usage, info_);
  }

  // The end of an attempt that failed through a checked branch: the next
  // attempt after the pause (null result), or a plain failure with the
  // final message.
  py::object retry_or_give_up(const std::string &final_message) {
    if (!attempts_.retry_after(final_message)) raise_plain(final_message);
    global("time").attr("sleep")(retry_delay_);
    return py::object();
  }

  // A failure that ended the attempt: recorded, kept as the last exception,
  // counted.
  void record_failure(const py::error_already_set &error) {
    bool transport = error.matches(global("requests").attr("RequestException").ptr());
    last_exception_ = error.value();
    if (attempts_.failed_by(host::message_of(error), transport)) {
      global("time").attr("sleep")(retry_delay_);
    }
  }

  py::object self_;
  ClientContext context_;
  ReplyInfo info_;
  py::object retry_delay_, timeout_;
  HostLog records_;
  pipeline::RequestAttempts attempts_;
  py::dict body_, headers_;
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

void HostLog::debug(const std::string &message) { host::debug(message); }
void HostLog::info(const std::string &message) { host::info(message); }
void HostLog::warning(const std::string &message) { host::warning(message); }
void HostLog::error(const std::string &message) {
  host::error(message);
  if (reason_) *reason_ = message;
}
void HostLog::critical(const std::string &message) { host::critical(message); }
void HostLog::progress(const std::string &message, long long done, long long total) {
  host::info(message);
  if (progress_.is_none()) return;
  py::dict event;
  event["file"] = file_;
  event["window"] = done;
  event["windows"] = total;
  progress_("window", event);
}

std::string HostLog::quote_list(const std::vector<std::string> &indexes) {
  py::list listed;
  for (const std::string &index : indexes) listed.append(host::text(index));
  return host::str_of(py::repr(listed));
}

}  // namespace brivane::bind

namespace brivane::bind {
using namespace pybind11::literals;

std::optional<RequestSettings> request_settings(py::handle self, std::string *failure) {
  auto refuse = [&](const std::string &problem) -> std::optional<RequestSettings> {
    host::error(problem);
    if (failure) *failure = problem;
    return std::nullopt;
  };
  py::object config = self.attr("config");
  // More in flight than this gains nothing and only costs threads.
  constexpr long long kMostInFlight = 512;
  auto count = [&](const char *name, long long &out) {
    py::object value = settings::value(config, name);
    const settings::Key &key = settings::key(name);
    if (!settings::valid(key, value)) {
      refuse(settings::problem(key, host::str_of(value)));
      return false;
    }
    if (value.equal(py::str("auto"))) return true;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    out = overflow || n > kMostInFlight ? kMostInFlight : n;
    return true;
  };
  RequestSettings settings;
  long long jobs = 0, start = 0, cap = 0;
  if (!count("max_concurrent_requests", jobs)) return std::nullopt;
  settings.find_limit = jobs == 0;
  if (settings.find_limit) {
    if (!count("max_concurrent_requests_start", start) || !count("max_concurrent_requests_cap", cap)) {
      return std::nullopt;
    }
    settings.start = static_cast<int>(start);
    jobs = cap;
  }
  settings.jobs = static_cast<int>(jobs);

  py::object timeout = settings::value(config, "request_timeout");
  if (const settings::Key &key = settings::key("request_timeout"); !settings::valid(key, timeout)) {
    return refuse(settings::problem(key, host::str_of(timeout)));
  }
  if (!timeout.is_none()) settings.timeout = timeout;
  return settings;
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {

using namespace std::chrono_literals;
using namespace pybind11::literals;

// Ends a fetch that nobody will use. Not of the `Exception` family, so the
// client's handlers let it through and log nothing.
PyObject *abandoned_type() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
  return storage
      .call_once_and_store_result([] {
        PyObject *type = PyErr_NewException("brivane.brivane.RequestAbandoned",
                                            PyExc_BaseException, nullptr);
        if (!type) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(type);
      })
      .get_stored()
      .ptr();
}

}  // namespace

struct Prefetch::State {
  State(py::object engine, std::vector<PlannedRequest> planned, RequestSettings settings,
        std::shared_ptr<ReplyCache> reply_cache)
      : self(std::move(engine)),
        requests(std::move(planned)),
        timeout(std::move(settings.timeout)),
        cache(std::move(reply_cache)),
        replies(requests.size()),
        errors(requests.size()),
        queue(requests.size(), settings.jobs > 1),
        limit(settings.find_limit ? pipeline::AdaptiveLimit(settings.start, settings.jobs)
                                  : pipeline::AdaptiveLimit(settings.jobs)),
        most_workers(static_cast<std::size_t>(settings.jobs)) {}

  py::object self;
  std::vector<PlannedRequest> requests;
  py::object timeout;
  std::shared_ptr<ReplyCache> cache;
  // Written by the workers and read by the merge, both under the GIL, each
  // entry only after the queue says its job finished.
  std::vector<FetchedReply> replies;
  std::vector<std::optional<py::error_already_set>> errors;
  pipeline::FetchQueue queue;
  pipeline::AdaptiveLimit limit;
  // Worker threads started, and the most there may be; touched only with
  // the interpreter's lock held.
  std::size_t workers = 0;
  const std::size_t most_workers;
  // The merge's own: jobs not yet used, by request text, in batch order.
  std::unordered_map<std::string, std::deque<std::size_t>> unused;
};

namespace {

void start_workers(const std::shared_ptr<Prefetch::State> &state, std::size_t wanted);

// No more threads than may be in flight now, nor than jobs are left to take.
void grow(const std::shared_ptr<Prefetch::State> &state) {
  std::size_t wanted = std::min({static_cast<std::size_t>(state->limit.limit()),
                                 state->most_workers, state->workers + state->queue.left()});
  if (wanted > state->workers) start_workers(state, wanted);
}

void fetch_in_turn(const std::shared_ptr<Prefetch::State> &state) {
  while (true) {
    std::optional<std::size_t> job;
    {
      py::gil_scoped_release release;  // the first job may keep the rest waiting
      job = state->queue.take();
    }
    if (!job) break;
    try {
      const PlannedRequest &request = state->requests[*job];
      state->replies[*job] = ask_client(state->self, request.text, state->timeout,
                                        {state->cache.get(), request.window, &state->limit});
    } catch (py::error_already_set &error) {
      if (error.matches(abandoned_type())) break;
      state->errors[*job] = error;
    } catch (...) {
      state->errors[*job] = host::current_error();
    }
    state->queue.finish(*job);
    grow(state);
  }
}

void start_workers(const std::shared_ptr<Prefetch::State> &state, std::size_t wanted) {
  for (; state->workers < wanted; ++state->workers) {
    fetch_thread_started();
    // Native threads: the host sees them only while they run its code. As
    // a host thread's start does, this one waits until the new thread runs:
    // requests go out one thread at a time while the limit grows, and the
    // service's first refusals arrive before the next threads pile on.
    std::promise<void> running;
    std::future<void> started = running.get_future();
    std::thread([shared = state, running = std::move(running)]() mutable {
      {
        py::gil_scoped_acquire gil;
        running.set_value();
        try {
          fetch_in_turn(shared);
        } catch (abi::__forced_unwind &) {
          throw;  // a thread the finalising interpreter ends
        } catch (...) {
          // The merge then asks for what is left directly.
          shared->queue.close();
        }
        shared.reset();  // the state holds the host's objects
      }
      fetch_thread_ended();
    }).detach();
    py::gil_scoped_release release;
    started.wait();
  }
}

}  // namespace

Prefetch::Prefetch(py::object self, std::vector<PlannedRequest> requests,
                   RequestSettings settings, std::shared_ptr<ReplyCache> cache)
    : state_(std::make_shared<State>(std::move(self), std::move(requests), settings,
                                     std::move(cache))) {
  for (std::size_t job = 0; job < state_->requests.size(); ++job) {
    state_->unused[state_->requests[job].text].push_back(job);
  }
  std::weak_ptr<State> weak = state_;
  remember_fetch_work(
      [weak] {
        if (std::shared_ptr<State> state = weak.lock()) {
          state->queue.close();
          state->limit.close();
        }
      },
      [weak] { return !weak.expired(); });
  // Finding the limit starts with the first request alone; more threads
  // start as the limit grows. A fixed limit starts its threads at once
  // (they wait for the first request all the same).
  start_workers(state_, std::min(settings.find_limit ? 1 : state_->most_workers,
                                 state_->requests.size()));
}

Prefetch::~Prefetch() { close(); }

void Prefetch::close() {
  state_->queue.close();
  state_->limit.close();
}

std::optional<FetchedReply> Prefetch::reply_for(const std::string &text) {
  auto found = state_->unused.find(text);
  if (found == state_->unused.end() || found->second.empty()) return std::nullopt;
  std::size_t job = found->second.front();
  found->second.pop_front();
  while (true) {
    bool finished;
    {
      py::gil_scoped_release release;
      finished = state_->queue.wait(job, 100ms);
    }
    if (finished) break;
    if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    if (state_->queue.closed()) return std::nullopt;  // abandoned: ask directly
  }
  if (state_->errors[job]) throw *state_->errors[job];
  return state_->replies[job];
}

pipeline::AdaptiveLimit &Prefetch::limit() { return state_->limit; }

std::size_t Prefetch::threads() const { return state_->workers; }

void raise_abandoned() {
  PyErr_SetNone(abandoned_type());
  throw py::error_already_set();
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {

struct Work {
  std::function<void()> stop;
  std::function<bool()> alive;
};

// Touched only with the interpreter's lock held.
std::vector<Work> &fetch_work() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<std::vector<Work>> storage;
  return storage.call_once_and_store_result([] { return std::vector<Work>(); }).get_stored();
}

// Fetch threads running; counted without the interpreter's lock.
std::mutex running_mutex;
std::condition_variable running_changed;
std::size_t running = 0;

}  // namespace

void remember_fetch_work(std::function<void()> stop, std::function<bool()> alive) {
  std::vector<Work> &all = fetch_work();
  std::vector<Work> live;
  for (Work &work : all) {
    if (work.alive()) live.push_back(std::move(work));
  }
  live.push_back({std::move(stop), std::move(alive)});
  all = std::move(live);
}

void fetch_thread_started() {
  std::lock_guard<std::mutex> lock(running_mutex);
  ++running;
}

void fetch_thread_ended() {
  std::lock_guard<std::mutex> lock(running_mutex);
  --running;
  running_changed.notify_all();
}

void join_fetch_threads() {
  // No new request goes out; what is in flight is waited for.
  std::vector<Work> &all = fetch_work();
  for (Work &work : all) work.stop();
  all.clear();
  py::gil_scoped_release release;
  std::unique_lock<std::mutex> lock(running_mutex);
  running_changed.wait(lock, [] { return running == 0; });
}

bool fetches_in_flight() {
  std::lock_guard<std::mutex> lock(running_mutex);
  return running > 0;
}

}  // namespace brivane::bind
