// Subtitle files written: write_srt's blocks, or the file as read with the
// corrected texts, built in one pass and replaced atomically.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/atomic_write.h"
#include "host/bindings.h"
#include "host/host.h"
#include "host/text_objects.h"

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
  void add(std::initializer_list<PyObject *> parts) {
    std::size_t most = 0;
    for (PyObject *part : parts) {
      const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(part));
      most += PyUnicode_IS_ASCII(part) ? n : n * 4;
    }
    reserve(most);
    char *at = data_ + size_;
    for (PyObject *part : parts) {
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
      if (!at) raise_encode_error(parts);
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

  [[noreturn]] static void raise_encode_error(std::initializer_list<PyObject *> parts) {
    py::list pieces;
    for (PyObject *p : parts) pieces.append(py::reinterpret_borrow<py::object>(p));
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
    if (!part.is_cue) {
      out.add({substring(content, part.verbatim).ptr(), k.block_end});
      continue;
    }
    const text::CueSpans &cue = part.cue;
    if (cue.has_index) out.add({substring(content, cue.index).ptr(), k.line_end});
    py::str time_line = substring(content, cue.time_line);
    if (cue.text.begin == cue.text.end) {
      out.add({time_line.ptr(), k.block_end});
      continue;
    }
    if (texts == py::iterator::sentinel()) throw std::logic_error("fewer corrected cues than sent");
    py::object body = format_value(py::object((*texts)[py::handle(k.text)]));
    ++texts;
    out.add({time_line.ptr(), k.line_end, body.ptr(), k.block_end});
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
