// The engine's text steps on replies and paths; the text work itself lives in
// text/.
#include "host/bindings.h"
#include "host/host.h"
#include "host/text_objects.h"
#include "text/reply.h"

namespace brivane::bind {
using namespace pybind11::literals;

py::object remove_annotations(py::object self, py::object text) {
  (void)self;
  if (!PyUnicode_Check(text.ptr())) {
    // Not a text: fail on the first step, as the host's `re.sub` does.
    py::object re = host::global("re");
    re.attr("sub")(R"(^[ \t]*```[A-Za-z0-9_.+-]*[ \t]*(?:\n|$))", "", text,
                   "flags"_a = re.attr("MULTILINE"));
    PyErr_SetString(PyExc_TypeError, "expected string or bytes-like object");
    throw py::error_already_set();
  }
  text::CleanedReply cleaned = text::remove_annotations(Utf8(text).view());
  if (cleaned.fell_back) host::warning("无法从API响应中提取SRT格式字幕块，返回处理后的文本");
  return host::text(cleaned.text);
}

py::object extract_blocks_from_text(py::object self, py::object text) {
  (void)self;
  text = as_text(text);
  text::ReplySpans extracted = text::extract_block_spans(code_points(text));
  for (text::Span line : extracted.invalid_time_lines) {
    host::warning("无效的时间戳格式: " + host::utf8(substring(text, line)));
  }
  return to_subtitle_list(text, extracted.subtitles);
}

py::object get_output_path(py::object self, py::object file_path) {
  py::object path = host::global("os").attr("path");
  py::object file_name = path.attr("basename")(file_path);
  py::object parts = path.attr("splitext")(file_name);
  py::object name = parts[py::int_(0)];
  py::object ext = parts[py::int_(1)];
  py::object join = path.attr("join");
  py::object output_dir = host::attr(self, "output_dir");
  py::str corrected =
      py::str(format_value(name)) + py::str("_corrected") + py::str(format_value(ext));
  return join(output_dir, corrected);
}

}  // namespace brivane::bind
