// The engine's glossary: the packaged library merged with the user's files
// (each read and checked by the core's rules), applied to every reply.
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/glossary_input.h"
#include "host/host.h"
#include "host/package_files.h"
#include "host/settings.h"
#include "host/text_objects.h"
#include "text/glossary.h"
#include "text/terms.h"

namespace brivane::bind {
namespace {
using host::global;

[[noreturn]] void refuse(PyObject *type, const std::string &message) {
  PyErr_SetObject(type, host::text(message).ptr());
  throw py::error_already_set();
}

std::string quoted(py::handle text) { return "\"" + host::utf8(text) + "\""; }

// One user glossary file; nothing in it is silently ignored.
py::dict read_user_glossary(py::handle path, const std::string &shown) {
  std::string where = "用户术语库 " + shown + ": ";
  GlossaryFile file = read_glossary_file(global("open"), global("json").attr("load"), path);
  if (file.failure) {
    throw host::chained(PyExc_ValueError, where + *file.checked.refusal, *file.failure);
  }
  if (file.checked.refusal) refuse(PyExc_ValueError, where + *file.checked.refusal);
  return py::reinterpret_borrow<py::dict>(file.data);
}

// The packaged library, then each user file in order; a later entry with the
// same wrong term replaces the earlier one wherever that was.
py::object merge_user_glossaries(py::handle self, py::object library, py::object files) {
  const settings::Key &key = settings::key("glossary_files");
  if (files.is_none() || !settings::valid(key, files)) {
    refuse(PyExc_TypeError, settings::problem(key, host::str_of(py::repr(files))));
  }
  struct Slot {
    py::object category, entry;
  };
  std::vector<Slot> slots;
  std::vector<std::optional<std::string>> error_terms;
  py::dict merged;
  auto add = [&](py::handle category, py::handle entry) {
    slots.push_back({py::reinterpret_borrow<py::object>(category),
                     py::reinterpret_borrow<py::object>(entry)});
    std::optional<std::string> error_term;
    if (PyUnicode_Check(entry.ptr())) {
      if (std::optional<text::TermEntry> terms = text::parse_term_entry(host::utf8(entry))) {
        if (!terms->error_term.empty()) error_term = std::move(terms->error_term);
      }
    }
    error_terms.push_back(std::move(error_term));
  };
  for (auto item : py::reinterpret_borrow<py::dict>(library)) {
    if (!PyList_Check(item.second.ptr())) {
      merged[item.first] = item.second;  // outside the format: kept, counted, never merged into
      continue;
    }
    merged[item.first] = py::list();
    for (py::handle entry : item.second) add(item.first, entry);
  }

  py::object folder = py::getattr(self, "config_dir", py::none());
  py::object join = global("os").attr("path").attr("join");
  for (py::handle file : files) {
    py::object path =
        folder.is_none() ? py::reinterpret_borrow<py::object>(file) : join(folder, file);
    std::string shown = host::str_of(path);
    py::dict glossary = read_user_glossary(path, shown);
    Py_ssize_t count = 0;
    for (auto item : glossary) {
      if (host::utf8(item.first) == text::kStandardisations) continue;
      if (!merged.contains(item.first)) {
        merged[item.first] = py::list();
      } else if (!PyList_Check(py::object(merged[item.first]).ptr())) {
        refuse(PyExc_TypeError, "用户术语库 " + shown + ": 类别 " + quoted(item.first) +
                                    " 在内置术语库中不是条目列表，无法合并");
      }
      for (py::handle entry : item.second) {
        add(item.first, entry);
        ++count;
      }
    }
    host::info("已加载用户术语库: " + shown + "，" + std::to_string(count) + "个术语");
  }

  std::vector<bool> kept = text::latest_per_error_term(error_terms);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (kept[i]) merged[slots[i].category].cast<py::list>().append(slots[i].entry);
  }
  return merged;
}

}  // namespace

void load_error_terms(py::object self) {
  host::guard(
      [&] {
        py::object library = host::load_json_and_close(host::open_package_text("error_terms_library.json"));
        py::object files = host::attr(self, "config").attr("get")("glossary_files");
        if (!files.is_none()) library = merge_user_glossaries(self, library, files);
        host::set_attr(self, "error_terms", library);
        // Every member counts by its length, applied category or not.
        Py_ssize_t total = 0;
        for (py::handle value : library.attr("values")()) {
          Py_ssize_t length = PyObject_Length(value.ptr());
          if (length < 0) throw py::error_already_set();
          total += length;
        }
        host::info("错误术语库加载成功，共" + std::to_string(total) + "个术语");
      },
      [&](py::error_already_set &error) {
        host::error("加载错误术语库失败: " + host::message_of(error));
        throw error;
      });
}

namespace {

// The two terms of one library entry, or nothing when it has no arrow or
// more than one. A str is read natively; anything else goes through the
// host's own `in`, `replace`, `split` and `strip`, so it fails exactly where
// they would.
std::optional<text::TermEntry> entry_terms(py::handle entry) {
  if (PyUnicode_CheckExact(entry.ptr())) return text::parse_term_entry(Utf8(entry).view());
  if (!host::contains(entry, "→") && !host::contains(entry, "->")) return std::nullopt;
  py::object parts = entry.attr("replace")("->", "→").attr("split")("→");
  if (py::len(parts) != 2) return std::nullopt;
  return text::TermEntry{host::utf8(parts[py::int_(0)].attr("strip")()),
                         host::utf8(parts[py::int_(1)].attr("strip")())};
}

// What the host's `error_term in text` and `text.replace(...)` do with a text
// that is not a str: fail (None, numbers, bytes, lists ...).
void refuse_non_text(py::handle text, const text::TermEntry &terms) {
  py::str error_term = host::text(terms.error_term);
  if (!host::contains(text, error_term)) return;
  text.attr("replace")(error_term, host::text(terms.correct_term));
  throw py::type_error("the text to correct must be a str");
}

std::string shown(const text::TermEntry &replacement) {
  return replacement.error_term + " → " + replacement.correct_term;
}

}  // namespace

py::object apply_term_corrections(py::object self, py::object text) {
  std::optional<text::TermReplacer> replacer;
  if (PyUnicode_Check(text.ptr())) replacer.emplace(std::string(Utf8(text).view()));
  for (std::string_view name : text::kGlossaryCategories) {
    py::str category = host::text(name);
    if (!host::contains(host::attr(self, "error_terms"), category)) continue;
    py::object entries = host::attr(self, "error_terms")[category];
    for (py::handle entry : entries) {
      if (replacer && PyUnicode_CheckExact(entry.ptr())) {
        replacer->apply(Utf8(entry).view());  // the same reading, without copies
        continue;
      }
      std::optional<text::TermEntry> terms = entry_terms(entry);
      if (!terms || terms->error_term.empty()) continue;
      if (replacer) {
        replacer->apply_terms(terms->error_term, terms->correct_term);
      } else {
        refuse_non_text(text, *terms);
      }
    }
  }

  py::list details;
  std::string joined;
  if (replacer) {
    for (const text::TermEntry &replacement : replacer->details()) {
      std::string line = shown(replacement);
      details.append(host::text(line));
      joined += (joined.empty() ? "" : ", ") + line;
    }
  }
  if (py::len(details) == 0) {
    host::info("术语库精确替换完成，未发现需要替换的术语");
    return py::make_tuple(text, details);
  }
  host::info("术语库精确替换完成，共替换了" + std::to_string(py::len(details)) + "个术语");
  host::debug("替换详情: " + joined);
  return py::make_tuple(host::text(replacer->text()), details);
}

}  // namespace brivane::bind
