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
  // More in flight than this gains nothing and only costs threads.
  constexpr long long kMostInFlight = 512;
  auto count = [&](const char *name, long long &out) {
    py::object value = settings::value(config, name);
    const settings::Key &key = settings::key(name);
    if (!settings::valid(key, value)) return refuse(settings::problem(key, host::str_of(value))), false;
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
