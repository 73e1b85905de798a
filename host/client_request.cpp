#include "host/client_request.h"

#include <chrono>

#include "host/host.h"
#include "host/prefetch.h"
#include "host/settings.h"

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

  // The service pushing back (429, 503) halves the requests allowed in
  // flight; each successful reply lets one more back in.
void report_status(pipeline::AdaptiveLimit &gate, py::handle status, long sent_in) {
    std::optional<int> changed;
    if (status.equal(py::int_(429)) || status.equal(py::int_(503))) {
      changed = gate.throttled(sent_in);
    } else if (status.equal(py::int_(200))) {
      changed = gate.succeeded();
    }
    if (changed) host::info("并发请求数调整为 " + std::to_string(*changed));
  }

}  // namespace brivane::bind
