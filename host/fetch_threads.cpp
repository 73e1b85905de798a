#include "host/fetch_threads.h"

#include <pybind11/gil_safe_call_once.h>

#include <vector>

#include "host/host.h"
#include "host/prefetch.h"

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
