// Subtitle files read: the configured encoding (or a guess, warned about),
// then parse_srt's blocks or the lossless parts the file correction reads.
#include <optional>
#include <string>
#include <utility>

#include "host/bindings.h"
#include "host/host.h"
#include "host/settings.h"
#include "host/text_objects.h"

namespace brivane::bind {
namespace {
using namespace pybind11::literals;

py::object read_with(py::handle file_path, py::handle encoding) {
  py::object f = host::global("open")(file_path, "r", "encoding"_a = encoding);
  py::object content;
  host::with(f, [&] { content = f.attr("read")(); });
  return content;
}

// The encoding charset-normalizer finds for the file's bytes, GB2312 and GBK
// widened to GB18030 (their superset); nothing when it finds none.
std::optional<py::object> detected_encoding(py::handle file_path) {
  py::object f = host::global("open")(file_path, "rb");
  py::object data;
  host::with(f, [&] { data = f.attr("read")(); });
  py::object best = py::module_::import("charset_normalizer").attr("from_bytes")(data).attr("best")();
  if (best.is_none()) return std::nullopt;
  std::string name = host::str_of(best.attr("encoding"));
  if (name == "gb2312" || name == "gbk") name = "gb18030";
  return py::str(name);
}

// A file that decodes as UTF-8 but for a few bytes is UTF-8 with damage, not
// text in another encoding: a guess would garble every line of it. Raises
// the reader's failure naming the first bad byte.
void refuse_damaged_utf8(py::handle file_path, const py::error_already_set &not_utf8) {
  py::object f = host::global("open")(file_path, "rb");
  py::object data;
  host::with(f, [&] { data = f.attr("read")(); });
  py::str escaped = data.attr("decode")("utf-8", "surrogateescape");
  // Runs of undecodable bytes against characters beyond ASCII that decoded.
  std::size_t bad = 0, good = 0;
  bool in_run = false;
  const int kind = PyUnicode_KIND(escaped.ptr());
  const void *chars = PyUnicode_DATA(escaped.ptr());
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(escaped.ptr()); i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, chars, i);
    bool undecodable = c >= 0xDC80 && c <= 0xDCFF;
    if (undecodable && !in_run) ++bad;
    if (!undecodable && c >= 0x80) ++good;
    in_run = undecodable;
  }
  if (bad == 0 || good < 4 * bad) return;
  py::object offset = not_utf8.value().attr("start");
  throw py::value_error(host::str_of(file_path) + ": 文件是UTF-8编码，但在字节偏移 " +
                        host::str_of(offset) + " 处有无效的字节序列 (共 " + std::to_string(bad) +
                        " 处)；请修正该文件，或用配置项 input_encoding 指定它的实际编码");
}

void warn_of_encoding(py::handle encoding, py::handle file_path) {
  host::warning("字幕文件不是UTF-8编码，已按 " + host::str_of(encoding) + " 读取: " +
                host::str_of(file_path));
}

}  // namespace

void report_encoding(const CueFile &file, py::handle file_path) {
  if (!file.guessed_encoding.is_none()) warn_of_encoding(file.guessed_encoding, file_path);
}

py::object read_subtitle_text(py::handle self, py::handle file_path, bool report,
                              py::object *guessed) {
  py::object setting = settings::value(self.attr("config"), "input_encoding");
  if (setting.is_none()) return read_with(file_path, py::str("utf-8"));
  if (!setting.equal(py::str("auto"))) return read_with(file_path, setting);
  try {
    return read_with(file_path, py::str("utf-8"));
  } catch (py::error_already_set &not_utf8) {
    if (!not_utf8.matches(PyExc_UnicodeDecodeError)) throw;
    refuse_damaged_utf8(file_path, not_utf8);
    std::optional<py::object> encoding = detected_encoding(file_path);
    if (!encoding) throw not_utf8;
    py::object content = read_with(file_path, *encoding);
    if (report) warn_of_encoding(*encoding, file_path);
    if (guessed) *guessed = *encoding;
    return content;
  }
}

py::list read_subtitles(py::handle self, py::handle file_path, bool report) {
  py::object content = as_text(read_subtitle_text(self, file_path, report));
  text::SrtSpans parsed = text::parse_srt_spans(code_points(content));
  if (report) {
    for (text::Span first_line : parsed.skipped_first_lines) {
      host::warning("跳过无法解析的字幕块: " + host::utf8(substring(content, first_line)));
    }
  }
  return to_subtitle_list(content, parsed.subtitles);
}

py::object parse_srt(py::object self, py::object file_path) {
  (void)self;
  return host::guard(
      [&]() -> py::object {
        py::list result = read_subtitles(self, file_path, true);
        host::info("成功解析字幕文件，共" + std::to_string(py::len(result)) + "个字幕块");
        return std::move(result);
      },
      [&](py::error_already_set &error) -> py::object {
        host::error("解析字幕文件失败: " + host::message_of(error));
        throw error;
      });
}

CueFile read_cue_file(py::handle self, py::handle file_path, bool report) {
  CueFile file;
  file.content = as_text(read_subtitle_text(self, file_path, report, &file.guessed_encoding));
  py::handle content = file.content;
  text::CodePoints points = code_points(content);
  file.parts = text::read_srt_parts(points);
  const Constants &k = constants();
  std::size_t line = 1, counted_to = 0;
  for (const text::SrtPart &part : file.parts) {
    if (!part.is_cue) {
      // Line numbers as an editor shows them; parts come in file order.
      for (; counted_to < part.verbatim.begin; ++counted_to) {
        if (text::code_point_at(points, counted_to) == '\n') ++line;
      }
      file.verbatim_lines.push_back(line);
      continue;
    }
    ++file.cue_count;
    const text::CueSpans &cue = part.cue;
    if (cue.text.begin == cue.text.end) continue;  // nothing to correct
    py::dict d = py::reinterpret_steal<py::dict>(PyDict_Copy(k.subtitle_shape));
    if (!d) throw py::error_already_set();
    if (cue.has_index) {
      set_item(d.ptr(), k.index, content, cue.index);
    } else if (PyDict_SetItem(d.ptr(), k.index, py::str(std::to_string(file.cue_count)).ptr()) < 0) {
      throw py::error_already_set();
    }
    for (auto [key, span] : {std::pair(k.start_time, cue.start_time), std::pair(k.end_time, cue.end_time)}) {
      py::str stamp = substring(content, span);
      std::string sendable = text::sendable_stamp(host::utf8(stamp));
      if (PyDict_SetItem(d.ptr(), key, host::text(sendable).ptr()) < 0) throw py::error_already_set();
    }
    set_item(d.ptr(), k.text, content, cue.text);
    file.subtitles.append(d);
  }
  return file;
}

}  // namespace brivane::bind
