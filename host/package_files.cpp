#include "host/package_files.h"

#include "host/host.h"

namespace brivane::host {

// The host deprecates `importlib.resources.open_text` on some versions; the
// warning would be attributed to whatever script constructed the engine, so
// it is silenced for this one call.
py::object open_package_text(const char *resource) {
  py::object warnings = py::module_::import("warnings");
  py::object stream;
  with(warnings.attr("catch_warnings")(), [&] {
    warnings.attr("simplefilter")("ignore", py::handle(PyExc_DeprecationWarning));
    stream = global("importlib").attr("resources").attr("open_text")("brivane", resource);
  });
  return stream;
}

// `json.load(stream)`, closing the stream as soon as it is parsed.
py::object load_json_and_close(py::object stream) {
  py::object parsed;
  with(stream, [&] { parsed = global("json").attr("load")(stream); });
  return parsed;
}

}  // namespace brivane::host
