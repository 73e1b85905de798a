#include "host/prefetch.h"

#include <pybind11/gil_safe_call_once.h>

#include <chrono>
#include <deque>
#include <unordered_map>

#include "host/fetch_threads.h"
#include "host/host.h"

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
        queue(requests.size()),
        limit(settings.jobs) {}

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
  // The merge's own: jobs not yet used, by request text, in batch order.
  std::unordered_map<std::string, std::deque<std::size_t>> unused;
};

namespace {

void fetch_in_turn(const std::shared_ptr<Prefetch::State> &state) {
  while (std::optional<std::size_t> job = state->queue.take()) {
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
  }
}

}  // namespace

Prefetch::Prefetch(py::object self, std::vector<PlannedRequest> requests,
                   RequestSettings settings, std::shared_ptr<ReplyCache> cache)
    : state_(std::make_shared<State>(std::move(self), std::move(requests), settings,
                                     std::move(cache))) {
  const int workers = settings.jobs;
  for (std::size_t job = 0; job < state_->requests.size(); ++job) {
    state_->unused[state_->requests[job].text].push_back(job);
  }
  // Daemon threads: an abandoned request never holds up the end of the
  // process.
  std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(workers), state_->requests.size());
  py::object thread_type = host::global("threading").attr("Thread");
  std::weak_ptr<State> weak = state_;
  remember_fetch_work(
      [weak] {
        if (std::shared_ptr<State> state = weak.lock()) {
          state->queue.close();
          state->limit.close();
        }
      },
      [weak] { return !weak.expired(); });
  for (std::size_t k = 0; k < count; ++k) {
    std::shared_ptr<State> shared = state_;
    py::cpp_function work([shared] { fetch_in_turn(shared); });
    py::object thread = thread_type("target"_a = work,
                                    "name"_a = "brivane-fetch-" + std::to_string(k + 1),
                                    "daemon"_a = true);
    thread.attr("start")();
    remember_fetch_thread(thread);
  }
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

void raise_abandoned() {
  PyErr_SetNone(abandoned_type());
  throw py::error_already_set();
}

}  // namespace brivane::bind
