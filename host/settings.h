// The configuration read through the core's table of keys
// (pipeline/settings_table.h): a key's value or its absent value, whether a
// value keeps its key's rule, and the problems of a whole configuration.
// The command line checks a configuration before anything starts, the
// engine warns of a present but invalid value when it loads one. Glossary
// files are read here too, as the host parses them and the core checks
// them; the engine and the glossary tools share that reader.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/settings_table.h"
#include "text/glossary.h"

namespace brivane::settings {
namespace py = pybind11;

// The value of `name` in `config` (inside its section for "logging.x"), or
// its absent value: `config.get(name, absent)`.
py::object value(py::handle config, std::string_view name);
// A flag's value; anything but true or false reads as its absent value
// (the engine warned of it when the configuration was loaded).
bool flag(py::handle config, std::string_view name);

bool valid(const Key &key, py::handle value);
// One message per present value that breaks its key's rule, the value
// shown as repr; with `required`, a missing api_url or model too.
std::vector<std::string> problems(py::handle config, bool required);

// The table as Python data, for the command line and its documentation test.
py::list table();

// The folder that relative `glossary_files` are read from: the configuration
// file's (None when it has none, such as an open descriptor: they are then
// taken as given). `os_path` is the host's `os.path`, as the caller reaches it.
py::object configuration_folder(py::handle os_path, py::handle config_file);
// Each of `files` in `folder` (None: as given).
py::list glossary_paths_in(py::handle os_path, py::handle folder, py::handle files);

// The configuration file as the engine reads it (None: the packaged one):
// the parsed JSON, or what opening or parsing raised. The command line's
// check before a run reads it through here too.
py::object read_configuration(py::handle config_file);

}  // namespace brivane::settings

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
// The parsed JSON of a glossary file read already, checked.
GlossaryFile checked_glossary(py::object data);

// The check's result as Python data: {"entries": [(category, text, wrong,
// right)], "marks": [(wrong, right)], "problems": [(category, entry, rule,
// detail)], "refusal": str | None}.
py::dict checked_as_dict(const text::CheckedGlossary &checked);

}  // namespace brivane::bind
