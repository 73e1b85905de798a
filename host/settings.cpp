// The configuration's keys and the glossary files, read and checked (settings.h).

#include "host/settings.h"


#include "host/host.h"

namespace brivane::settings {
namespace {

bool is_number(py::handle value, bool integer) {
  if (PyBool_Check(value.ptr())) return false;
  return PyLong_Check(value.ptr()) || (!integer && PyFloat_Check(value.ptr()));
}

// The table's absent values are JSON literals of four simple shapes, made
// here without a parser: every key read goes through this.
py::object absent_value(const Key &key) {
  std::string_view literal = key.absent;
  if (literal == "null") return py::none();
  if (literal == "true" || literal == "false") return py::bool_(literal == "true");
  if (literal == "{}") return py::dict();
  if (literal.front() == '"') return host::text(literal.substr(1, literal.size() - 2));
  return py::int_(std::stoll(std::string(literal)));
}

// The section holding `name` and the name within it.
std::pair<py::object, std::string> located(py::handle config, std::string_view name) {
  std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) {
    return {py::reinterpret_borrow<py::object>(config), std::string(name)};
  }
  py::object section = config.attr("get")(std::string(name.substr(0, dot)), py::dict());
  if (!PyDict_Check(section.ptr())) section = py::dict();
  return {section, std::string(name.substr(dot + 1))};
}

}  // namespace

py::object value(py::handle config, std::string_view name) {
  const Key &k = key(name);
  auto [section, inner] = located(config, name);
  return section.attr("get")(inner, absent_value(k));
}

bool flag(py::handle config, std::string_view name) {
  py::object v = value(config, name);
  if (PyBool_Check(v.ptr())) return v.ptr() == Py_True;
  return std::string_view(key(name).absent) == "true";
}

bool valid(const Key &key, py::handle value) {
  bool null = value.is_none();
  switch (key.rule) {
    case Rule::stored: return true;
    case Rule::nonempty_text:
      return PyUnicode_Check(value.ptr()) && host::truthy(value.attr("strip")());
    case Rule::text: return PyUnicode_Check(value.ptr());
    case Rule::positive_integer:
      return is_number(value, true) && value > py::int_(0);
    case Rule::requests_in_flight:
      return value.equal(py::str("auto")) || (is_number(value, true) && value > py::int_(0));
    case Rule::positive_number:
      return null || (is_number(value, false) && value > py::int_(0));
    case Rule::flag: return PyBool_Check(value.ptr());
    case Rule::path: return null || PyUnicode_Check(value.ptr());
    case Rule::path_list:
      if (null) return true;
      if (!PyList_Check(value.ptr())) return false;
      for (py::handle item : value) {
        if (!PyUnicode_Check(item.ptr())) return false;
      }
      return true;
    case Rule::object: return PyDict_Check(value.ptr());
    case Rule::object_or_null: return null || PyDict_Check(value.ptr());
    case Rule::encoding:
      if (null || value.equal(py::str("auto"))) return true;
      try {
        py::module_::import("codecs").attr("lookup")(value);
        return true;
      } catch (py::error_already_set &error) {
        if (error.matches(PyExc_TypeError) || error.matches(PyExc_LookupError)) return false;
        throw;
      }
  }
  return true;
}

std::vector<std::string> problems(py::handle config, bool required) {
  std::vector<std::string> found;
  for (const Key &k : keys()) {
    // glossary_files is checked with the files it names.
    if (k.rule == Rule::path_list) continue;
    auto [section, inner] = located(config, k.name);
    bool present = host::contains(section, py::str(inner));
    bool needed = required && k.rule == Rule::nonempty_text;
    if (!present && !needed) continue;
    py::object v = present ? py::object(section[py::str(inner)]) : py::object(py::none());
    if (!valid(k, v)) found.push_back(problem(k, host::str_of(py::repr(v))));
  }
  return found;
}

py::list table() {
  py::list rows;
  for (const Key &k : keys()) {
    py::dict row;
    row["key"] = k.name;
    row["absent"] = absent_value(k);
    row["shown"] = host::text(k.shown);
    row["rule"] = k.rule == Rule::stored ? py::str("") : host::text(rule_text(k.rule));
    rows.append(row);
  }
  return rows;
}

py::object configuration_folder(py::handle os_path, py::handle config_file) {
  try {
    return os_path.attr("dirname")(os_path.attr("abspath")(config_file));
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    return py::none();
  }
}

py::list glossary_paths_in(py::handle os_path, py::handle folder, py::handle files) {
  py::list paths;
  for (py::handle file : files) {
    paths.append(folder.is_none() ? py::reinterpret_borrow<py::object>(file)
                                  : os_path.attr("join")(folder, file));
  }
  return paths;
}

py::object read_configuration(py::handle config_file) {
  using namespace pybind11::literals;
  if (config_file.is_none()) return host::load_json_and_close(host::open_package_text("config.json"));
  return host::load_json_and_close(host::global("open")(config_file, "r", "encoding"_a = "utf-8"));
}

}  // namespace brivane::settings

namespace brivane::bind {

text::GlossaryInput glossary_input(py::handle data) {
  text::GlossaryInput input;
  if (!PyDict_Check(data.ptr())) {
    input.is_object = false;
    return input;
  }
  for (auto item : py::reinterpret_borrow<py::dict>(data)) {
    text::GlossaryInput::Category category;
    category.name = host::str_of(item.first);
    category.is_list = PyList_Check(item.second.ptr());
    if (category.is_list) {
      for (py::handle entry : item.second) {
        category.entries.push_back(PyUnicode_Check(entry.ptr())
                                       ? std::optional<std::string>(host::utf8(entry))
                                       : std::nullopt);
      }
    }
    input.categories.push_back(std::move(category));
  }
  return input;
}

GlossaryFile read_glossary_file(py::handle open, py::handle json_load, py::handle path) {
  GlossaryFile file;
  try {
    py::object stream = open(path, "r", py::arg("encoding") = "utf-8");
    host::with(stream, [&] { file.data = json_load(stream); });
  } catch (...) {
    py::error_already_set error = host::current_error();
    if (!host::is_ordinary(error)) throw error;
    bool unreadable = error.matches(PyExc_OSError) || error.matches(PyExc_UnicodeDecodeError);
    std::string detail =
        (unreadable ? "无法读取: " : "不是有效的JSON: ") + host::message_of(error);
    file.checked.refusal = detail;
    file.checked.problems.push_back({std::nullopt, std::nullopt, "shape", detail, true});
    file.failure.emplace(std::move(error));
    return file;
  }
  return checked_glossary(std::move(file.data));
}

GlossaryFile checked_glossary(py::object data) {
  GlossaryFile file;
  file.checked = text::check_glossary(glossary_input(data));
  file.data = std::move(data);
  return file;
}

py::dict checked_as_dict(const text::CheckedGlossary &checked) {
  auto optional_text = [](const std::optional<std::string> &value) -> py::object {
    return value ? py::object(host::text(*value)) : py::object(py::none());
  };
  py::list entries, marks, problems;
  for (const text::GlossaryEntry &entry : checked.entries) {
    entries.append(py::make_tuple(host::text(entry.category), host::text(entry.text),
                                  host::text(entry.wrong), host::text(entry.right)));
  }
  for (const auto &mark : checked.marks) {
    marks.append(py::make_tuple(host::text(mark.first), host::text(mark.second)));
  }
  for (const text::GlossaryProblem &problem : checked.problems) {
    problems.append(py::make_tuple(optional_text(problem.category), optional_text(problem.entry),
                                   host::text(problem.rule), host::text(problem.detail)));
  }
  py::dict result;
  result["entries"] = entries;
  result["marks"] = marks;
  result["problems"] = problems;
  result["refusal"] = optional_text(checked.refusal);
  return result;
}

}  // namespace brivane::bind
