#include "host/client_reply.h"

#include "host/cache.h"
#include "host/host.h"
#include "host/settings.h"
#include "host/window_arguments.h"

namespace brivane::bind {
using host::global;
using namespace pybind11::literals;

void raise_plain(const std::string &message) {
  PyErr_SetObject(PyExc_Exception, host::text(message).ptr());
  throw py::error_already_set();
}

bool detailed_logs_on(py::handle self) {
  return settings::flag(self.attr("config"), "logging.enable_detailed_logs");
}

std::string quoted_reply(py::handle text) {
  py::object shown = py::str(text);
  Py_ssize_t length = py::len(shown);
  if (length <= 200) return host::str_of(shown);
  return host::str_of(shown[py::slice(0, 200, 1)]) + "…（共 " + std::to_string(length) + " 个字符）";
}

void log_error_body(py::handle response) {
  // Any failure while reading the body, of whatever kind, is reported as an
  // unreadable body.
  try {
    py::object error_data = response.attr("json")();
    if (host::contains(error_data, "error")) {
      py::object error_info = error_data["error"];
      host::error("API错误类型: " + host::str_of(host::get(error_info, "type", py::str("unknown"))));
      host::error("API错误消息: " +
                  host::str_of(host::get(error_info, "message", py::str("no message"))));
    }
  } catch (...) {
    host::error("无法解析API错误响应为JSON格式");
  }
}

std::string refusal_text(py::handle response, py::handle raw_text) {
  try {
    py::object data = response.attr("json")();
    py::object error = host::get(data, "error", py::none());
    py::object message =
        error.is_none() ? py::object(py::none()) : host::get(error, "message", py::none());
    if (!message.is_none()) return host::str_of(message);
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
  }
  return quoted_reply(raw_text);
}

namespace {

// The reasoning tokens a reply reports, or 0.
long long reasoning_tokens(py::handle data) {
  py::object usage = host::get(data, "usage", py::none());
  if (!PyDict_Check(usage.ptr())) return 0;
  py::object details = host::get(usage, "completion_tokens_details", py::none());
  if (!PyDict_Check(details.ptr())) return 0;
  py::object tokens = host::get(details, "reasoning_tokens", py::none());
  if (!PyLong_Check(tokens.ptr()) || PyBool_Check(tokens.ptr())) return 0;
  return saturated(tokens);
}

// A model that thinks first spends the output budget on its reasoning; the
// reply then comes back empty or cut, and nothing else would say why.
void warn_of_reasoning(py::handle data, py::handle content) {
  long long reasoning = reasoning_tokens(data);
  if (reasoning <= 0) return;
  host::warning("模型推理用去 " + std::to_string(reasoning) + " 个输出 tokens，回复" +
                (py::len(content) == 0 ? "为空" : "被截断") +
                "；在配置中设置 \"extra_body\": {\"thinking\": {\"type\": \"disabled\"}} 可关闭推理");
}

}  // namespace

ReplyContent read_reply_content(py::handle self, py::handle response) {
  ReplyContent reply;
  py::object data = response.attr("json")();
  // What the service sends back may quote the key.
  global("print")(host::text(host::redact(host::str_of(data))));
  if (detailed_logs_on(self)) {
    py::object dumped = global("json").attr("dumps")(data, "ensure_ascii"_a = false, "indent"_a = 2);
    host::debug("API完整响应: " + host::str_of(dumped));
  }
  if (host::contains(data, "error")) {
    py::object error_info = host::get(data, "error", py::dict());
    std::string message = host::str_of(host::get(error_info, "message", host::text("未知错误")));
    host::error("API返回错误: " + message);
    reply.retry_message = "API多次调用失败: " + message;
    return reply;
  }
  if (!host::contains(data, "choices") || !host::truthy(data["choices"])) {
    host::error("API响应格式不正确，缺少choices字段");
    reply.retry_message = "API多次返回格式不正确的响应";
    return reply;
  }
  py::object first_choice = data["choices"][py::int_(0)];
  py::object content = first_choice["message"]["content"];
  py::object finish_reason = host::get(first_choice, "finish_reason", py::none());
  // A filtered reply may hold no content at all: its blocks are kept as sent.
  if (content.is_none() && finish_reason.equal(py::str("content_filter"))) content = py::str("");
  if (!PyUnicode_Check(content.ptr())) {
    raise_plain("API响应内容为空或不是文本: " + host::str_of(py::repr(content)));
  }
  if (host::contains(data, "usage")) {
    py::object usage = data["usage"];
    py::str na("N/A");
    host::info("API使用情况 - 输入tokens: " + host::str_of(host::get(usage, "prompt_tokens", na)) +
               ", 输出tokens: " + host::str_of(host::get(usage, "completion_tokens", na)) +
               ", 总tokens: " + host::str_of(host::get(usage, "total_tokens", na)));
  }
  if (host::truthy(finish_reason)) {
    host::info("API完成原因: " + host::str_of(finish_reason));
    if (finish_reason.equal(py::str("length"))) {
      host::warning("警告: API响应因达到最大长度限制而被截断");
      warn_of_reasoning(data, content);
    } else if (finish_reason.equal(py::str("insufficient_system_resource"))) {
      host::warning("警告: 服务端资源不足，API响应被中断 (insufficient_system_resource)");
    }
  }
  reply.content = content;
  reply.finish_reason = finish_reason;
  reply.usage = host::get(data, "usage", py::none());
  return reply;
}

py::object post_process(py::handle self, py::handle content, py::handle usage, ReplyInfo &info) {
  host::info("正在应用错误术语库精确替换...");
  py::object corrected = self.attr("apply_term_corrections")(content);
  py::object replaced_text = corrected[py::int_(0)];
  py::object replacement_details = corrected[py::int_(1)];
  py::object final_text = self.attr("remove_annotations")(replaced_text);
  info.returned = py::reinterpret_borrow<py::object>(content);
  info.after_glossary = replaced_text;
  info.usage = py::reinterpret_borrow<py::object>(usage);
  return py::make_tuple(final_text, replacement_details);
}

}  // namespace brivane::bind
