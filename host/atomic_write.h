// The one way a finished file is written: whole or not at all.
#pragma once
#include <pybind11/pybind11.h>

#include <string_view>

namespace brivane::bind {
namespace py = pybind11;

// Writes `data` to a new file beside `target` and renames it over the
// target only once complete, so a failure never leaves a half-written or
// emptied file, and no existing file (or link target) is written into. The
// result gets the permissions a plain write would give: the target's own
// when it exists, else 0666 less the umask.
void replace_file(py::handle output_path, std::string_view content);

}  // namespace brivane::bind
