// The configuration's keys and the glossary files, read and checked (settings.h).

#include "host/settings.h"

#include <stdexcept>

#include "host/host.h"

namespace brivane::settings {
namespace {

std::string_view rule_text(Rule rule) {
  switch (rule) {
    case Rule::nonempty_text: return "必须是非空字符串";
    case Rule::positive_integer: return "必须是正整数";
    case Rule::requests_in_flight: return "必须是正整数或 \"auto\"";
    case Rule::positive_number: return "必须是正数";
    case Rule::flag: return "必须是 true 或 false";
    case Rule::path: return "必须是文件路径";
    case Rule::path_list: return "必须是路径列表";
    case Rule::object:
    case Rule::object_or_null: return "必须是JSON对象";
    case Rule::encoding: return "必须是 \"auto\" 或编码名称";
    case Rule::text: return "必须是字符串";
    case Rule::stored: break;
  }
  return "";
}

bool is_number(py::handle value, bool integer) {
  if (PyBool_Check(value.ptr())) return false;
  return PyLong_Check(value.ptr()) || (!integer && PyFloat_Check(value.ptr()));
}

py::object absent_value(const Key &key) {
  return py::module_::import("json").attr("loads")(key.absent);
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

const std::vector<Key> &keys() {
  static const std::vector<Key> table = {
      {"api_url", Rule::nonempty_text, "null", "—"},
      {"model", Rule::nonempty_text, "null", "—"},
      {"window_size", Rule::positive_integer, "50", "50"},
      {"file_pattern", Rule::text, "\"*.srt\"", "`*.srt`"},
      {"backup_dir", Rule::text, "\"backup\"", "`backup`"},
      {"error_terms_file", Rule::text, "\"error_terms_library.json\"", "`error_terms_library.json`"},
      {"glossary_files", Rule::path_list, "null", "absent (packaged glossary only)"},
      {"preserve_original_index", Rule::stored, "true", "true"},
      {"logging", Rule::object, "{}", "—"},
      {"extra_body", Rule::object_or_null, "null", "absent"},
      {"max_concurrent_requests", Rule::requests_in_flight, "1", "1"},
      {"max_concurrent_requests_start", Rule::positive_integer, "16", "16"},
      {"max_concurrent_requests_cap", Rule::positive_integer, "512", "512"},
      {"request_timeout", Rule::positive_number, "null", "180"},
      {"reply_cache", Rule::path, "null", "absent (no cache)"},
      {"retry_missing_blocks", Rule::flag, "false", "false"},
      {"review_report", Rule::flag, "false", "false"},
      {"stop_on_client_errors", Rule::flag, "false", "false"},
      {"input_encoding", Rule::encoding, "null", "UTF-8"},
      {"pricing", Rule::object_or_null, "null", "absent (no cost shown)"},
      {"risk_checks", Rule::flag, "false", "false"},
      {"logging.enable_subtitle_logs", Rule::flag, "true", "true"},
      {"logging.enable_detailed_logs", Rule::flag, "true", "true"},
      {"logging.log_dir", Rule::text, "\"subtitle_logs\"", "`subtitle_logs`"},
      {"logging.keep_comparison_log_open", Rule::flag, "false", "false"},
  };
  return table;
}

const Key &key(std::string_view name) {
  for (const Key &k : keys()) {
    if (name == k.name) return k;
  }
  throw std::logic_error("no such configuration key: " + std::string(name));
}

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

std::string problem(const Key &key, const std::string &shown_value) {
  return "配置项 " + std::string(key.name) + " " + std::string(rule_text(key.rule)) +
         "，当前值: " + shown_value;
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
