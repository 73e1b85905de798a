#include "host/text_objects.h"

#include <pybind11/gil_safe_call_once.h>

#include "host/host.h"

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
