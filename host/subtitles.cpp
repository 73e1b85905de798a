// Subtitle files and the text steps on the host's objects: str views and code
// points, the configured encoding (or a guess, warned about), parse_srt's
// blocks and the lossless parts the file correction reads, the writers, and
// the engine's text methods.
#include <pybind11/gil_safe_call_once.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "host/engine.h"
#include "host/host.h"
#include "host/settings.h"
#include "text/reply.h"

namespace brivane::bind {
namespace {

PyObject *interned(const char *utf8) {
  PyObject *s = PyUnicode_InternFromString(utf8);
  if (!s) throw py::error_already_set();
  return s;
}

}  // namespace

const Constants &constants() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Constants> storage;
  return storage
      .call_once_and_store_result([] {
        Constants c{interned("index"), interned("start_time"), interned("end_time"),
                    interned("text"),  interned("\n"),        interned(" --> "),
                    interned("\n\n"), PyDict_New()};
        if (!c.subtitle_shape) throw py::error_already_set();
        for (PyObject *key : {c.index, c.start_time, c.end_time, c.text}) {
          if (PyDict_SetItem(c.subtitle_shape, key, Py_None) < 0) throw py::error_already_set();
        }
        return c;
      })
      .get_stored();
}

// The str's own code points, read in place.
text::CodePoints code_points(py::handle str) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(str.ptr()) < 0) throw py::error_already_set();
#endif
  return {PyUnicode_DATA(str.ptr()), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str.ptr())),
          static_cast<int>(PyUnicode_KIND(str.ptr()))};
}

py::str substring(py::handle str, text::Span span) {
  PyObject *s = PyUnicode_Substring(str.ptr(), static_cast<Py_ssize_t>(span.begin),
                                    static_cast<Py_ssize_t>(span.end));
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

void set_item(PyObject *dict, PyObject *key, py::handle str, text::Span span) {
  if (PyDict_SetItem(dict, key, substring(str, span).ptr()) < 0) throw py::error_already_set();
}

// Subtitle dicts whose fields are pieces of `str`.
py::list to_subtitle_list(py::handle str, const std::vector<text::SubtitleSpans> &subtitles) {
  const Constants &k = constants();
  PyObject *shape = k.subtitle_shape;
  py::list out(subtitles.size());
  for (std::size_t i = 0; i < subtitles.size(); ++i) {
    const text::SubtitleSpans &s = subtitles[i];
    py::dict d = py::reinterpret_steal<py::dict>(PyDict_Copy(shape));
    if (!d) throw py::error_already_set();
    set_item(d.ptr(), k.index, str, s.index);
    set_item(d.ptr(), k.start_time, str, s.start_time);
    set_item(d.ptr(), k.end_time, str, s.end_time);
    set_item(d.ptr(), k.text, str, s.text);
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), d.release().ptr());
  }
  return out;
}

// Text that is not a str: the host's own `strip()` and `re.split`, so it
// fails exactly where the plain steps would.
py::object as_text(py::object value) {
  if (PyUnicode_Check(value.ptr())) return value;
  py::object stripped = value.attr("strip")();
  if (PyUnicode_Check(stripped.ptr())) return stripped;
  host::global("re").attr("split")("\\n\\s*\\n", stripped);
  PyErr_SetString(PyExc_TypeError, "expected string or bytes-like object");
  throw py::error_already_set();
}

// f"{value}" of one value: format(value, "").
py::object format_value(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  PyObject *r = PyObject_Format(value.ptr(), nullptr);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

}  // namespace brivane::bind

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

namespace brivane::bind {
namespace {

// The finished file as UTF-8, built in one pass from the pieces that a loop
// of `f.write(f"{index}\n")`, `f.write(f"{start} --> {end}\n")`,
// `f.write(f"{text}\n\n")` would write, so the first failure in loop order
// is the one reported. A lone surrogate fails with the message the file's
// encoder gives for the write call that holds it.
class SrtBytes {
 public:
  SrtBytes() = default;
  SrtBytes(const SrtBytes &) = delete;
  SrtBytes &operator=(const SrtBytes &) = delete;
  ~SrtBytes() { std::free(data_); }

  // One write call's worth of text, given as its parts (all str).
  void add(std::initializer_list<PyObject *> parts) { add(parts.begin(), parts.size()); }
  void add(PyObject *const *first, std::size_t count) {
    std::size_t most = 0;
    for (PyObject *const *p = first; p != first + count; ++p) {
      PyObject *part = *p;
      const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(part));
      most += PyUnicode_IS_ASCII(part) ? n : n * 4;
    }
    reserve(most);
    char *at = data_ + size_;
    for (PyObject *const *p = first; p != first + count; ++p) {
      PyObject *part = *p;
      const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(part));
      if (PyUnicode_IS_ASCII(part)) {
        // Most pieces are a few bytes long: a plain loop beats a memcpy call.
        const char *from = static_cast<const char *>(PyUnicode_DATA(part));
        if (n <= 16) {
          for (std::size_t i = 0; i < n; ++i) at[i] = from[i];
        } else {
          std::memcpy(at, from, n);
        }
        at += n;
        continue;
      }
      at = text::write_utf8(at, code_points(part));
      if (!at) raise_encode_error(first, count);
    }
    size_ = static_cast<std::size_t>(at - data_);
  }

  // Room for about `blocks` subtitles of lecture size, so a typical file is
  // written without growing the buffer.
  void reserve_for(std::size_t blocks) { reserve(blocks * 96); }

  // Written files never start with a byte-order mark.
  std::string_view content() const {
    std::string_view all(data_ ? data_ : "", size_);
    if (all.substr(0, 3) == "\xef\xbb\xbf") all.remove_prefix(3);
    return all;
  }

 private:
  void reserve(std::size_t more) {
    if (size_ + more <= capacity_) return;
    std::size_t wanted = std::max({capacity_ * 2, size_ + more, std::size_t{1} << 16});
    // Large blocks grow in place (realloc remaps pages rather than copying).
    char *grown = static_cast<char *>(std::realloc(data_, wanted));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = wanted;
  }

  [[noreturn]] static void raise_encode_error(PyObject *const *first, std::size_t count) {
    py::list pieces;
    for (PyObject *const *p = first; p != first + count; ++p) {
      pieces.append(py::reinterpret_borrow<py::object>(*p));
    }
    py::str call = py::str("").attr("join")(pieces);
    PyObject *bytes = PyUnicode_AsUTF8String(call.ptr());
    Py_XDECREF(bytes);  // the call holds the surrogate, so this fails
    throw py::error_already_set();
  }

  char *data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Text mode: every LF becomes the platform's line end.
std::string with_line_ends(std::string_view content, std::string_view line_end) {
  std::string translated;
  translated.reserve(content.size() + content.size() / 8);
  for (char c : content) {
    if (c == '\n') {
      translated.append(line_end);
    } else {
      translated.push_back(c);
    }
  }
  return translated;
}

void gather_srt(py::handle subtitles, SrtBytes &out) {
  const Constants &k = constants();
  auto field = [&](py::handle subtitle, PyObject *key) {
    // Plain dicts (what the reader makes) skip the generic item protocol;
    // a missing key still fails through it, with the host's own error.
    if (PyDict_CheckExact(subtitle.ptr())) {
      if (PyObject *value = PyDict_GetItemWithError(subtitle.ptr(), key)) {
        return format_value(value);
      }
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject *value = PyObject_GetItem(subtitle.ptr(), key);
    if (!value) throw py::error_already_set();
    return format_value(py::reinterpret_steal<py::object>(value));
  };
  if (Py_ssize_t hint = PyObject_LengthHint(subtitles.ptr(), 0); hint > 0) {
    out.reserve_for(static_cast<std::size_t>(hint));
  } else if (hint < 0) {
    throw py::error_already_set();
  }
  for (py::handle subtitle : subtitles) {
    py::object index = field(subtitle, k.index);
    out.add({index.ptr(), k.line_end});
    py::object start = field(subtitle, k.start_time);
    py::object end = field(subtitle, k.end_time);
    out.add({start.ptr(), k.arrow, end.ptr(), k.line_end});
    py::object body = field(subtitle, k.text);
    out.add({body.ptr(), k.block_end});
  }
}

// The parts of `file` with the corrected texts, in file order.
void gather_cue_file(const CueFile &file, py::handle corrected, SrtBytes &out) {
  const Constants &k = constants();
  py::handle content = file.content;
  out.reserve_for(file.parts.size());
  py::iterator texts = py::iter(corrected);
  for (const text::SrtPart &part : file.parts) {
    const text::CueSpans &cue = part.cue;
    bool has_text = part.is_cue && cue.text.begin != cue.text.end;
    py::object body;
    if (has_text) {
      if (texts == py::iterator::sentinel()) throw std::logic_error("fewer corrected cues than sent");
      body = format_value(py::object((*texts)[py::handle(k.text)]));
      ++texts;
    }
    py::object verbatim, index, time_line;
    text::srt_part_writes(part.is_cue, part.is_cue && cue.has_index, has_text,
                    [&](std::initializer_list<text::SrtPiece> pieces) {
                      PyObject *parts[4];
                      std::size_t n = 0;
                      for (text::SrtPiece piece : pieces) {
                        switch (piece) {
                          case text::SrtPiece::verbatim:
                            verbatim = substring(content, part.verbatim);
                            parts[n++] = verbatim.ptr();
                            break;
                          case text::SrtPiece::index:
                            index = substring(content, cue.index);
                            parts[n++] = index.ptr();
                            break;
                          case text::SrtPiece::time_line:
                            time_line = substring(content, cue.time_line);
                            parts[n++] = time_line.ptr();
                            break;
                          case text::SrtPiece::text: parts[n++] = body.ptr(); break;
                          case text::SrtPiece::line_end: parts[n++] = k.line_end; break;
                          case text::SrtPiece::block_end: parts[n++] = k.block_end; break;
                        }
                      }
                      out.add(parts, n);
                    });
  }
}

// Writes the gathered file as write_srt does, with its records.
py::object save(py::handle output_path, const std::function<void(SrtBytes &)> &gather,
                std::string *failure = nullptr) {
  return host::guard(
      [&]() -> py::object {
        SrtBytes bytes;
        gather(bytes);
        std::string line_end = host::utf8(host::global("os").attr("linesep"));
        if (line_end == "\n") {
          replace_file(output_path, bytes.content());
        } else {
          replace_file(output_path, with_line_ends(bytes.content(), line_end));
        }
        host::info("字幕文件保存成功: " + host::str_of(format_value(output_path)));
        return py::bool_(true);
      },
      [&](py::error_already_set &error) -> py::object {
        std::string message = "保存字幕文件失败: " + host::message_of(error);
        host::error(message);
        if (failure) *failure = message;
        return py::bool_(false);
      });
}

}  // namespace

py::object write_srt(py::object self, py::object subtitles, py::object output_path) {
  (void)self;
  return save(output_path, [&](SrtBytes &bytes) { gather_srt(subtitles, bytes); });
}

py::object write_cue_file(const CueFile &file, py::handle corrected, py::handle output_path,
                          std::string *failure) {
  return save(
      output_path, [&](SrtBytes &bytes) { gather_cue_file(file, corrected, bytes); }, failure);
}
}  // namespace brivane::bind

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
