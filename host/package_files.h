// The package's own data files (configuration, glossary), read through the
// host's importlib and json as the module reaches them.
#pragma once
#include <pybind11/pybind11.h>

namespace brivane::host {
namespace py = pybind11;

// A text file of the `brivane` package, open for reading.
py::object open_package_text(const char *resource);

// `json.load(stream)`, closing the stream as soon as it is parsed.
py::object load_json_and_close(py::object stream);

}  // namespace brivane::host
