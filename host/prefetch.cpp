// How a batch or a file sends its requests, the threads that fetch them ahead
// and their registry.
#include <pybind11/gil_safe_call_once.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/prefetch.h"
#include "host/host.h"
#include "host/settings.h"

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
  // Daemon threads: an abandoned request never holds up the end of the
  // process.
  py::object thread_type = host::global("threading").attr("Thread");
  for (; state->workers < wanted; ++state->workers) {
    std::shared_ptr<Prefetch::State> shared = state;
    py::cpp_function work([shared] { fetch_in_turn(shared); });
    py::object thread = thread_type("target"_a = work,
                                    "name"_a = "brivane-fetch-" + std::to_string(state->workers + 1),
                                    "daemon"_a = true);
    thread.attr("start")();
    remember_fetch_thread(thread);
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

struct FetchThreads {
  py::list threads;
  std::vector<Work> work;
};

FetchThreads &fetch_threads() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<FetchThreads> storage;
  return storage.call_once_and_store_result([] { return FetchThreads{py::list(), {}}; })
      .get_stored();
}

void forget_ended(FetchThreads &all) {
  py::list alive;
  for (py::handle thread : all.threads) {
    if (host::truthy(thread.attr("is_alive")())) alive.append(thread);
  }
  all.threads = alive;
  std::vector<Work> live;
  for (Work &work : all.work) {
    if (work.alive()) live.push_back(std::move(work));
  }
  all.work = std::move(live);
}

}  // namespace

void remember_fetch_work(std::function<void()> stop, std::function<bool()> alive) {
  FetchThreads &all = fetch_threads();
  forget_ended(all);
  all.work.push_back({std::move(stop), std::move(alive)});
}

void remember_fetch_thread(py::object thread) { fetch_threads().threads.append(thread); }

void join_fetch_threads() {
  FetchThreads &all = fetch_threads();
  // No new request goes out; what is in flight is waited for.
  for (Work &work : all.work) work.stop();
  py::list threads = all.threads;
  for (py::handle thread : threads) thread.attr("join")();
  all.threads = py::list();
  all.work.clear();
}

bool fetches_in_flight() {
  FetchThreads &all = fetch_threads();
  forget_ended(all);
  return py::len(all.threads) > 0;
}

}  // namespace brivane::bind
