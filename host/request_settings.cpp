// How a file or a batch sends its requests.
#include <optional>
#include <string>

#include "host/host.h"
#include "host/prefetch.h"
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
  py::object jobs = settings::value(config, "max_concurrent_requests");
  if (const settings::Key &key = settings::key("max_concurrent_requests"); !settings::valid(key, jobs)) {
    return refuse(settings::problem(key, host::str_of(jobs)));
  }
  RequestSettings settings;
  // More workers than this gain nothing and only cost threads.
  constexpr long long kMostWorkers = 256;
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(jobs.ptr(), &overflow);
  settings.jobs = static_cast<int>(overflow || n > kMostWorkers ? kMostWorkers : n);

  py::object timeout = settings::value(config, "request_timeout");
  if (const settings::Key &key = settings::key("request_timeout"); !settings::valid(key, timeout)) {
    return refuse(settings::problem(key, host::str_of(timeout)));
  }
  if (!timeout.is_none()) settings.timeout = timeout;
  return settings;
}

}  // namespace brivane::bind
