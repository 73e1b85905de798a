// `brivane._native`: the core's glossary rules, subtitle-file reading and
// the atomic write for the package's Python tools (glossary check and
// suggest, the review report and workbench),
// without the engine module's import-time set-up of the process log.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/settings.h"
#include "text/glossary.h"
#include "text/matchers.h"
#include "text/risk.h"
#include "text/srt.h"
#include "text/terms.h"

namespace py = pybind11;
using namespace brivane;

namespace {

py::dict read_glossary(py::object path) {
  bind::GlossaryFile file = bind::read_glossary_file(
      py::module_::import("builtins").attr("open"), py::module_::import("json").attr("load"), path);
  py::dict read = bind::checked_as_dict(file.checked);
  read["data"] = file.data;  // what an engine may take instead of reading it again
  return read;
}

// Which entries survive the merge: a later entry with the same wrong term
// replaces the earlier one.
std::vector<bool> latest_per_error_term(const std::vector<std::optional<std::string>> &wrong) {
  return text::latest_per_error_term(wrong);
}

py::str apply_entries(const std::vector<std::string> &entries, py::handle subject) {
  text::TermReplacer replacer(host::utf8(subject));
  for (const std::string &entry : entries) replacer.apply(entry);
  return host::text(replacer.text());
}

void replace_file(py::object path, py::handle content) {
  std::string data = PyBytes_Check(content.ptr()) ? std::string(py::bytes(content.cast<py::bytes>()))
                                                  : host::utf8(content);
  bind::replace_file(path, data);
}

// A written subtitle file's parts, read as the file correction reads its
// input: nothing of it is lost.
py::list srt_parts(py::handle content) {
  py::list parts;
  for (const text::SrtPartText &part : text::read_srt_parts_content(host::utf8(content))) {
    py::dict d;
    d["is_cue"] = part.is_cue;
    d["has_index"] = part.has_index;
    d["index"] = host::text(part.index);
    d["time_line"] = host::text(part.time_line);
    d["start_time"] = host::text(part.start_time);
    d["end_time"] = host::text(part.end_time);
    d["text"] = host::text(part.text);
    d["verbatim"] = host::text(part.verbatim);
    parts.append(d);
  }
  return parts;
}

py::str render_srt_parts(py::handle parts) {
  std::vector<text::SrtPartText> read;
  for (py::handle part : parts) {
    text::SrtPartText p;
    p.is_cue = host::truthy(part["is_cue"]);
    p.has_index = host::truthy(part["has_index"]);
    p.index = host::utf8(part["index"]);
    p.time_line = host::utf8(part["time_line"]);
    p.text = host::utf8(part["text"]);
    p.verbatim = host::utf8(part["verbatim"]);
    read.push_back(std::move(p));
  }
  return host::text(text::render_srt_parts(read));
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  host::set_module(m);
  m.attr("os") = py::module_::import("os");
  m.attr("json") = py::module_::import("json");
  py::module_::import("importlib.resources");
  m.attr("importlib") = py::module_::import("importlib");
  py::tuple categories(text::kGlossaryCategories.size());
  for (std::size_t k = 0; k < text::kGlossaryCategories.size(); ++k) {
    categories[k] = host::text(text::kGlossaryCategories[k]);
  }
  m.attr("CATEGORIES") = categories;
  m.attr("STANDARDISATIONS") = host::text(text::kStandardisations);
  m.attr("SETTINGS") = settings::table();
  m.def(
      "setting_problems",
      [](py::handle config) {
        std::vector<std::string> found = settings::problems(config, true);
        py::list messages;
        for (const std::string &message : found) messages.append(host::text(message));
        return messages;
      },
      py::arg("config"),
      "One message per configuration value that breaks its key's rule (api_url and model are "
      "required).");
  m.def(
      "setting", [](py::handle config, const std::string &name) { return settings::value(config, name); },
      py::arg("config"), py::arg("name"),
      "A key's value in the configuration (\"logging.x\" in its section), or the value a missing "
      "key takes.");
  m.def(
      "setting_problem",
      [](const std::string &name, py::handle value) -> py::object {
        const settings::Key &key = settings::key(name);
        if (settings::valid(key, value)) return py::none();
        return host::text(settings::problem(key, host::str_of(py::repr(value))));
      },
      py::arg("name"), py::arg("value"), "The message for a value that breaks its key's rule.");
  m.def(
      "read_configuration", [](py::handle path) { return settings::read_configuration(path); },
      py::arg("path"),
      "The configuration file as the engine reads it (None: the packaged one); raises what "
      "opening or parsing raises.");
  m.def(
      "glossary_paths",
      [](py::handle config_file, py::handle files) {
        py::object os_path = py::module_::import("os").attr("path");
        return settings::glossary_paths_in(
            os_path, settings::configuration_folder(os_path, config_file), files);
      },
      py::arg("config_file"), py::arg("files"),
      "The configured glossary files as the engine resolves them: each in the configuration "
      "file's folder.");
  m.def("read_glossary", &read_glossary, py::arg("path"),
        "A glossary file read and checked: entries, standardisation marks, problems, and why the "
        "engine would refuse it (None when it would not).");
  m.def("latest_per_error_term", &latest_per_error_term, py::arg("wrong_terms"));
  m.def("apply_entries", &apply_entries, py::arg("entries"), py::arg("text"),
        "The engine's replacement of each entry, in order, on the text.");
  m.def("srt_parts", &srt_parts, py::arg("content"),
        "The parts of a subtitle file: cues (index, timing line, stamps, text) and lines kept "
        "as written.");
  m.def("render_srt_parts", &render_srt_parts, py::arg("parts"));
  m.def("sendable_stamp", [](py::handle stamp) { return host::text(text::sendable_stamp(host::utf8(stamp))); },
        py::arg("stamp"), "A timing stamp as the engine sends it.");
  m.def(
      "medical_risks",
      [](py::handle before, py::handle after) {
        return bind::risk_records(text::medical_risks(host::utf8(before), host::utf8(after)));
      },
      py::arg("before"), py::arg("after"),
      "The numbers, units, negations and sides that differ between the texts: "
      "[{kind, before, after, label}].");
  m.def(
      "remove_notes",
      [](py::handle text) {
        return host::text(text::match::remove_notes_and_collapse(host::utf8(text)));
      },
      py::arg("text"), "The model's notes removed as the engine's cleanup removes them.");
  m.def("replace_file", &replace_file, py::arg("path"), py::arg("content"),
        "Writes the file whole or not at all (str as UTF-8).");
}
