// Every fetch thread started and not yet joined, with a way to stop the work
// it serves. The interpreter must not finalise while one of them runs: a
// thread that wakes up then is ended by the interpreter in the middle of
// native frames (an abort, or objects released without the interpreter's
// lock). join_fetch_threads and fetches_in_flight (prefetch.h) read it.
#pragma once
#include <pybind11/pybind11.h>

#include <functional>

namespace brivane::bind {
namespace py = pybind11;

// `stop`: no new request goes out for that work; `alive`: the work still
// exists (else it is forgotten).
void remember_fetch_work(std::function<void()> stop, std::function<bool()> alive);
void remember_fetch_thread(py::object thread);

}  // namespace brivane::bind
