// Getting the replies: the reply cache over SQLite, the model client (the
// request body, the post through the in-flight limit and the deadline, the
// reading of the service's reply, the glossary and cleanup on its content)
// and the fetch threads that send a batch's requests ahead.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/host.h"
#include "pipeline/file_correction.h"
#include "pipeline/schedule.h"

namespace brivane::bind {
namespace py = pybind11;

class ReplyCache {
 public:
  struct Entry {
    py::object content;
    py::object finish_reason;
  };

  // The engine's cache as configured (`reply_cache`, relative to the
  // output directory), or null when there is none.
  static std::shared_ptr<ReplyCache> configured(py::handle self);

  explicit ReplyCache(py::object path);
  ReplyCache(const ReplyCache &) = delete;
  ReplyCache &operator=(const ReplyCache &) = delete;
  ~ReplyCache();

  // The key of a request body, or nothing when it cannot be serialised.
  static std::optional<std::string> key_for(py::handle body);
  std::optional<Entry> lookup(const std::string &key);
  // One transaction per reply: a killed process loses at most the replies
  // in flight.
  void store(const std::string &key, py::handle content, py::handle finish_reason,
             py::handle usage);

 private:
  // This thread's connection, opened on first use (the first one creates
  // the store and sets its mode); null once the store failed (after one
  // warning).
  py::object connection();
  void give_up(const py::error_already_set &error);

  py::object path_;
  bool broken_ = false;
  bool prepared_ = false;
  // Touched only with the interpreter lock held.
  std::unordered_map<std::thread::id, py::object> connections_;
};

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// Where a client call stands: the reply cache it goes through (null: none),
// the one-based window it fetches (for the records), and the in-flight limit
// of the requests fetched ahead (null: none).
struct ClientContext {
  ReplyCache *cache = nullptr;
  long long window = 0;
  pipeline::AdaptiveLimit *gate = nullptr;
};

// What the client learnt of a reply beyond the pair it returns: the reply's
// text before its cleaning (null when the client did not say), and the usage
// the service reported (None for a reply from the cache, which cost
// nothing).
struct ReplyInfo {
  py::object finish_reason = py::none();
  py::object returned;        // the content as the service returned it
  py::object after_glossary;  // the content after the glossary's replacements
  py::object usage = py::none();
};

// A finish reason as the core reads it: empty when it is not text.
inline std::string finish_text(py::handle finish_reason) {
  return PyUnicode_Check(finish_reason.ptr()) ? host::utf8(finish_reason) : std::string();
}

// A reply with what the client learnt of it.
struct FetchedReply {
  py::object reply;
  ReplyInfo info;
};

// The client's call with its context: the engine's own client is called
// directly, so the cache, the limit and what it learnt travel with the call;
// a client a caller put in its place is called through the instance and
// says nothing more than its pair. The time-out is the configured one, or
// the client's default when null.
FetchedReply ask_client(py::handle self, const std::string &text, py::handle timeout,
                        const ClientContext &context);
// The engine's own client, called directly.
FetchedReply call_client(py::object self, py::object text, py::object max_retries,
                         py::object retry_delay, py::object timeout, const ClientContext &context);


// Records through the logger. The last error recorded is kept as the
// file's failure reason; each merged window is also told to `progress`
// (None: no one listens).
class HostLog final : public pipeline::Log {
 public:
  HostLog(std::string *reason = nullptr, py::object progress = py::none(),
          py::object file = py::none())
      : reason_(reason), progress_(std::move(progress)), file_(std::move(file)) {}
  void debug(const std::string &message) override;
  void info(const std::string &message) override;
  void warning(const std::string &message) override;
  void error(const std::string &message) override;
  void critical(const std::string &message) override;
  void progress(const std::string &message, long long done, long long total) override;
  std::string quote_list(const std::vector<std::string> &indexes) override;

 private:
  std::string *reason_;
  py::object progress_, file_;
};

// The fixed members first; members of the optional `extra_body` section
// follow, replacing a fixed member of the same name in place.
py::dict build_body(py::handle self, py::handle subtitle_text);

// `requests.post(...)`; with a gate, only once it admits the request (a
// null object, with nothing sent, when the gate refuses the account). With
// `whole_request`, `timeout` bounds the request from sending to the last
// byte of the body: the service's keep-alive lines would restart a read
// time-out for ever.
py::object post_request(py::handle self, py::handle headers, py::handle body, py::handle timeout,
                        pipeline::AdaptiveLimit *gate, bool whole_request, long *sent_in = nullptr);


}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// Raised as the final action of a branch; the attempt's general handler
// catches it like any other failure.
[[noreturn]] void raise_plain(const std::string &message);

bool detailed_logs_on(py::handle self);

// A reply as an error record quotes it: the first 200 characters, and the
// length when there is more.
std::string quoted_reply(py::handle text);

// Best effort: the error type and message of a failed reply's body.
void log_error_body(py::handle response);

// What the service said of a refusal: its error message, else the start of
// its reply (`raw_text`).
std::string refusal_text(py::handle response, py::handle raw_text);

// A 200 reply, read and logged: its content with the finish reason and
// usage, or (content null) the message that ends the call should this have
// been its last attempt.
struct ReplyContent {
  py::object content, finish_reason, usage;
  std::string retry_message;
};
ReplyContent read_reply_content(py::handle self, py::handle response);

// The glossary, then the commentary stripping, on a reply's content; each
// stage is kept for the review of where an edit came from.
py::object post_process(py::handle self, py::handle content, py::handle usage, ReplyInfo &info);

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// How a batch or a file sends its requests: `max_concurrent_requests` (1
// when absent) and `request_timeout` (null when absent: the client's own
// default). Nothing, after logging the refusal (its text also in `failure`
// when given), when a setting is invalid.
struct RequestSettings {
  int jobs = 1;  // the most in flight
  // `max_concurrent_requests` "auto": find the account's limit, starting
  // at `start` after the first request (`max_concurrent_requests_start`)
  // and never above `jobs` (`max_concurrent_requests_cap`).
  bool find_limit = false;
  int start = 1;
  py::object timeout;
};
std::optional<RequestSettings> request_settings(py::handle self, std::string *failure = nullptr);

using pipeline::PlannedRequest;

class Prefetch {
 public:
  // Starts native threads that send the requests, in order, through `self.call_deepseek_api_with_subtitle_prompt` (and the
  // reply cache, when there is one).
  Prefetch(py::object self, std::vector<PlannedRequest> requests, RequestSettings settings,
           std::shared_ptr<ReplyCache> cache);
  Prefetch(const Prefetch &) = delete;
  Prefetch &operator=(const Prefetch &) = delete;
  ~Prefetch();

  // The reply fetched for the earliest window not yet used whose request is
  // `text`, waiting for it (an interrupt still gets through); the client's
  // failure is raised again as the very same exception. Nothing when no
  // such window was planned.
  std::optional<FetchedReply> reply_for(const std::string &text);

  // No further request goes out; those in flight are abandoned and their
  // results dropped.
  void close();

  // The limit its requests go through; a request sent from elsewhere
  // during the batch (a follow-up) goes through it too.
  pipeline::AdaptiveLimit &limit();
  // Worker threads started so far.
  std::size_t threads() const;

  // What the worker threads share with the prefetch (defined where used).
  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Closes every prefetch and waits for their threads; registered to run at
// the interpreter's exit, before it finalises.
void join_fetch_threads();
// Some fetch thread still runs (a stopped batch left requests in flight).
bool fetches_in_flight();

[[noreturn]] void raise_abandoned();

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// `stop`: no new request goes out for that work; `alive`: the work still
// exists (else it is forgotten).
void remember_fetch_work(std::function<void()> stop, std::function<bool()> alive);
void fetch_thread_started();
void fetch_thread_ended();

}  // namespace brivane::bind
