#include "host/glossary_input.h"

#include "host/host.h"

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
  file.checked = text::check_glossary(glossary_input(file.data));
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
