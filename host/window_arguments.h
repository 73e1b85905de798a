// The window arguments of a file's correction as the host gives them
// (defined with the file correction, file_correction.cpp).
#pragma once
#include <pybind11/pybind11.h>

#include <optional>

namespace brivane::bind {
namespace py = pybind11;

// Python ints of any size, saturated to the range native arithmetic needs.
long long saturated(py::handle value);
// A window bound: None, or anything with `__index__`.
std::optional<long long> optional_bound(py::handle value);
// The window size a call uses (its argument, or the engine's attribute) is
// checked as the host's `isinstance(size, int) and size > 0` would; the
// configuration file's key has its own, stricter rule (settings.h).
bool valid_window_size(py::handle value);

}  // namespace brivane::bind
