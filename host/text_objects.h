// Python objects of the text steps: UTF-8 views of str, the code points of
// a str read in place, substrings by span and the Subtitle dicts the readers
// make.
#pragma once
#include <pybind11/pybind11.h>

#include <string_view>
#include <vector>

#include "text/spans.h"
#include "text/srt.h"

namespace brivane::bind {
namespace py = pybind11;

// UTF-8 of a str without copying where the interpreter can give it: its
// cached UTF-8 form, or (for text holding lone surrogates, which that form
// refuses) a surrogatepass encoding kept alive here. The str must outlive
// this object.
class Utf8 {
 public:
  explicit Utf8(py::handle text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
      view_ = std::string_view(data, static_cast<std::size_t>(size));
      return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    holder_ = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!holder_) throw py::error_already_set();
    view_ = std::string_view(PyBytes_AS_STRING(holder_.ptr()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(holder_.ptr())));
  }
  std::string_view view() const { return view_; }

 private:
  py::object holder_;
  std::string_view view_;
};

// Python objects made once and kept for the life of the process.
struct Constants {
  PyObject *index, *start_time, *end_time, *text;  // the Subtitle keys
  PyObject *line_end, *arrow, *block_end;         // pieces of a written block
  // A dict already holding the four keys in order; copying it and replacing
  // the values is cheaper than inserting into an empty dict.
  PyObject *subtitle_shape;
};
const Constants &constants();

// The str's own code points, read in place.
text::CodePoints code_points(py::handle str);
py::str substring(py::handle str, text::Span span);
void set_item(PyObject *dict, PyObject *key, py::handle str, text::Span span);
// Subtitle dicts whose fields are pieces of `str`.
py::list to_subtitle_list(py::handle str, const std::vector<text::SubtitleSpans> &subtitles);
// Text that is not a str: the host's own `strip()` and `re.split`, so it
// fails exactly where the plain steps would.
py::object as_text(py::object value);
// f"{value}" of one value: format(value, "").
py::object format_value(py::handle value);

}  // namespace brivane::bind
