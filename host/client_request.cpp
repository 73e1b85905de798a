#include "host/client_request.h"

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

py::object post_request(py::handle self, py::handle headers, py::handle body, py::handle timeout,
                        pipeline::AdaptiveLimit *gate) {
    auto send = [&] {
      return global("requests").attr("post")(self.attr("api_url"), "headers"_a = headers,
                                             "json"_a = body, "timeout"_a = timeout);
    };
    if (!gate) return send();
    bool admitted;
    {
      py::gil_scoped_release release;
      admitted = gate->acquire();
    }
    if (!admitted) raise_abandoned();
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
void report_status(pipeline::AdaptiveLimit &gate, py::handle status) {
    std::optional<int> changed;
    if (status.equal(py::int_(429)) || status.equal(py::int_(503))) {
      changed = gate.throttled();
    } else if (status.equal(py::int_(200))) {
      changed = gate.succeeded();
    }
    if (changed) host::info("并发请求数调整为 " + std::to_string(*changed));
  }

}  // namespace brivane::bind
