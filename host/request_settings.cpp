// How a file or a batch sends its requests, and one request through the
// engine's client.
#include <optional>
#include <string>

#include "host/host.h"
#include "host/prefetch.h"
#include "host/settings.h"

namespace brivane::bind {
using namespace pybind11::literals;

std::optional<RequestSettings> request_settings(py::handle self) {
  py::object config = self.attr("config");
  py::object jobs = settings::value(config, "max_concurrent_requests");
  if (const settings::Key &key = settings::key("max_concurrent_requests"); !settings::valid(key, jobs)) {
    host::error(settings::problem(key, host::str_of(jobs)));
    return std::nullopt;
  }
  RequestSettings settings;
  // More workers than this gain nothing and only cost threads.
  constexpr long long kMostWorkers = 256;
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(jobs.ptr(), &overflow);
  settings.jobs = static_cast<int>(overflow || n > kMostWorkers ? kMostWorkers : n);

  py::object timeout = settings::value(config, "request_timeout");
  if (const settings::Key &key = settings::key("request_timeout"); !settings::valid(key, timeout)) {
    host::error(settings::problem(key, host::str_of(timeout)));
    return std::nullopt;
  }
  if (!timeout.is_none()) settings.timeout = timeout;
  return settings;
}

FetchedReply ask_client(py::handle self, const std::string &text, py::handle timeout) {
  py::object call = self.attr("call_deepseek_api_with_subtitle_prompt");
  // A replaced client method may say nothing; nothing stale is then kept.
  last_reply_info() = ReplyInfo{};
  py::object reply = timeout ? call(host::text(text), "timeout"_a = timeout) : call(host::text(text));
  return {reply, last_reply_info()};
}

}  // namespace brivane::bind
