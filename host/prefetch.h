// Several requests in flight: replies for a batch's windows fetched ahead on
// a few host threads, in batch order, while the file correction merges them
// in batch order on the calling thread; and the registry of those threads,
// which the interpreter must not outlive.
#pragma once
#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/cache.h"
#include "host/client.h"
#include "pipeline/schedule.h"

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

// One window's request as the file correction will send it.
struct PlannedRequest {
  std::string text;
  long long window;  // one-based, within its file
};

class Prefetch {
 public:
  // Starts `workers` daemon threads of the host that send the requests, in
  // order, through `self.call_deepseek_api_with_subtitle_prompt` (and the
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
void remember_fetch_thread(py::object thread);

}  // namespace brivane::bind
