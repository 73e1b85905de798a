// Glossary files as the host parses them, handed to the core's check; shared
// by the engine and the `brivane._glossary` module of the glossary tools.
#pragma once
#include <pybind11/pybind11.h>

#include <optional>

#include "text/glossary.h"

namespace brivane::bind {
namespace py = pybind11;

// The parsed JSON of a glossary file as the check reads it.
text::GlossaryInput glossary_input(py::handle data);

// A glossary file read and checked. A file that cannot be read or parsed
// is refused on its own ("无法读取: ...", "不是有效的JSON: ..."), `failure`
// holding why.
struct GlossaryFile {
  py::object data = py::none();
  text::CheckedGlossary checked;
  std::optional<py::error_already_set> failure;
};
// `open` and `json_load` are the host's, as the caller reaches them.
GlossaryFile read_glossary_file(py::handle open, py::handle json_load, py::handle path);

// The check's result as Python data: {"entries": [(category, text, wrong,
// right)], "marks": [(wrong, right)], "problems": [(category, entry, rule,
// detail)], "refusal": str | None}.
py::dict checked_as_dict(const text::CheckedGlossary &checked);

}  // namespace brivane::bind
