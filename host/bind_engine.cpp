// Construction, configuration, the error-terms library and the prompt.
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/host.h"
#include "prompt/prompt.h"
#include "text/terms.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

// The host deprecates `importlib.resources.open_text` on some versions; the
// warning would be attributed to whatever script constructed the engine, so
// it is silenced for this one call.
py::object open_package_text(const char *resource) {
  py::object warnings = py::module_::import("warnings");
  py::object stream;
  host::with(warnings.attr("catch_warnings")(), [&] {
    warnings.attr("simplefilter")("ignore", py::handle(PyExc_DeprecationWarning));
    stream = global("importlib").attr("resources").attr("open_text")("brivane", resource);
  });
  return stream;
}

// `json.load(stream)`, closing the stream as soon as it is parsed.
py::object load_json_and_close(py::object stream) {
  py::object parsed;
  host::with(stream, [&] { parsed = global("json").attr("load")(stream); });
  return parsed;
}

// Sets `config` and the seven attributes derived from it, `dict.get`
// semantics: a key present with null yields None, not the default.
void apply_config(py::handle self, py::object config) {
  host::set_attr(self, "config", config);
  py::object none = py::none();
  py::object get = config.attr("get");
  host::set_attr(self, "api_url", get("api_url"));
  host::set_attr(self, "model", get("model"));
  host::set_attr(self, "backup_dir", get("backup_dir", "backup"));
  host::set_attr(self, "error_terms_file", get("error_terms_file", "error_terms_library.json"));
  host::set_attr(self, "window_size", get("window_size", 50));
  host::set_attr(self, "file_pattern", get("file_pattern", "*.srt"));
  host::set_attr(self, "preserve_original_index", get("preserve_original_index", true));
}

// The folder that relative `glossary_files` are read from: the configuration
// file's, taken at load time so a later change of directory does not move
// it. None when the file has no folder (an open descriptor): the working
// directory is used then.
// `config_file` keeps the file's own path, for the backup.
void remember_config_dir(py::handle self, py::handle config_file) {
  py::object folder = py::none(), file = py::none();
  try {
    py::object path = global("os").attr("path");
    file = path.attr("abspath")(config_file);
    folder = path.attr("dirname")(file);
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
  }
  host::set_attr(self, "config_dir", folder);
  host::set_attr(self, "config_file", file);
}

// Every key a configuration may hold; a misspelt one would otherwise be
// ignored without a word.
constexpr const char *kConfigKeys[] = {
    "api_url", "model", "backup_dir", "error_terms_file", "window_size", "file_pattern",
    "preserve_original_index", "glossary_files", "max_concurrent_requests", "reply_cache",
    "review_report", "retry_missing_blocks", "request_timeout", "input_encoding", "extra_body",
    "stop_on_client_errors", "logging"};
constexpr const char *kLoggingKeys[] = {"enable_subtitle_logs", "enable_detailed_logs", "log_dir"};

template <std::size_t N>
void warn_unknown_keys(py::handle section, const char *const (&known)[N], const std::string &prefix) {
  if (!PyDict_Check(section.ptr())) return;
  py::list names;
  for (const char *key : known) names.append(prefix + key);
  for (py::handle key : section) {
    if (!PyUnicode_Check(key.ptr())) continue;
    std::string name = prefix + host::utf8(key);
    if (host::contains(names, host::text(name))) continue;
    py::list close = py::module_::import("difflib").attr("get_close_matches")(host::text(name), names, 1);
    host::warning("未知的配置项: " + name +
                  (py::len(close) ? " (是否为 " + host::str_of(close[0]) + "?)" : std::string()));
  }
}

// Both loaders: parse, apply, report; a failure is logged and re-raised as
// the very same exception object.
template <class Open>
void load_config_from(py::handle self, Open &&open, const char *success, const char *failure) {
  host::guard(
      [&] {
        py::object config = load_json_and_close(open());
        apply_config(self, config);
        host::info(success);
        warn_unknown_keys(config, kConfigKeys, "");
        if (PyDict_Check(config.ptr())) {
          py::object section = host::get(config, "logging", py::none());
          warn_unknown_keys(section, kLoggingKeys, "logging.");
        }
      },
      [&](py::error_already_set &error) {
        host::error(std::string(failure) + host::message_of(error));
        throw error;
      });
}

// A user glossary's top-level key that lists deliberate standardisations
// for the checker; it is no category and is never merged or applied.
constexpr const char *kStandardisations = "规范写法";

[[noreturn]] void refuse(PyObject *type, const std::string &message) {
  PyErr_SetObject(type, host::text(message).ptr());
  throw py::error_already_set();
}

std::string quoted(py::handle text) { return "\"" + host::utf8(text) + "\""; }

// One user glossary file, checked entry by entry so that nothing in it is
// silently ignored. The messages match the command line's (brivane/glossary.py).
py::dict read_user_glossary(py::handle path, const std::string &shown) {
  std::string where = "用户术语库 " + shown + ": ";
  py::object data;
  try {
    py::object stream = global("open")(path, "r", "encoding"_a = "utf-8");
    data = load_json_and_close(stream);
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
    bool unreadable = error.matches(PyExc_OSError) || error.matches(PyExc_UnicodeDecodeError);
    throw host::chained(PyExc_ValueError,
                        where + (unreadable ? "无法读取: " : "不是有效的JSON: ") +
                            host::message_of(error),
                        error);
  }
  if (!PyDict_Check(data.ptr())) {
    refuse(PyExc_ValueError, where + "顶层必须是对象（类别 → 条目列表）");
  }
  for (auto item : py::reinterpret_borrow<py::dict>(data)) {
    std::string category = "类别 " + quoted(item.first);
    if (!PyList_Check(item.second.ptr())) {
      refuse(PyExc_ValueError, where + category + " 必须是条目列表");
    }
    Py_ssize_t position = 0;
    for (py::handle entry : item.second) {
      ++position;
      if (!PyUnicode_Check(entry.ptr())) {
        refuse(PyExc_ValueError,
               where + category + " 的第" + std::to_string(position) + "个条目不是字符串");
      }
      const char *problem = nullptr;
      switch (text::entry_fault(host::utf8(entry))) {
        case text::EntryFault::none: continue;
        case text::EntryFault::no_arrow: problem = "没有箭头（应写作 错误→正确）"; break;
        case text::EntryFault::many_arrows: problem = "多于一个箭头"; break;
        case text::EntryFault::empty_error_term: problem = "错误术语为空"; break;
      }
      refuse(PyExc_ValueError, where + category + " 的条目 " + quoted(entry) + ": " + problem);
    }
  }
  return py::reinterpret_borrow<py::dict>(data);
}

// The packaged library, then each user file in order; a later entry with the
// same wrong term replaces the earlier one wherever that was.
py::object merge_user_glossaries(py::handle self, py::object library, py::object files) {
  bool paths = PyList_Check(files.ptr());
  if (paths) {
    for (py::handle file : files) paths = paths && PyUnicode_Check(file.ptr());
  }
  if (!paths) {
    refuse(PyExc_TypeError,
           "配置项 glossary_files 必须是路径列表，当前值: " + host::str_of(py::repr(files)));
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
    std::optional<text::TermEntry> terms;
    if (PyUnicode_Check(entry.ptr())) terms = text::parse_term_entry(host::utf8(entry));
    if (terms && terms->error_term.empty()) terms.reset();
    error_terms.push_back(terms ? std::optional<std::string>(terms->error_term) : std::nullopt);
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
      if (host::utf8(item.first) == kStandardisations) continue;
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

void init(py::object self, py::object api_key, py::object input_dir, py::object output_dir,
          py::object config_file) {
  host::set_attr(self, "api_key", api_key);
  host::remember_secret(api_key);
  host::set_attr(self, "input_dir", input_dir);
  host::set_attr(self, "output_dir", output_dir);
  if (config_file.is_none()) {
    self.attr("load_config_from_package")();
  } else {
    self.attr("load_config")(config_file);
  }
  self.attr("load_error_terms")();
  self.attr("create_directories")();
  self.attr("generate_prompt")();
}

void load_config_from_package(py::object self) {
  load_config_from(
      self, [] { return open_package_text("config.json"); }, "内置配置加载成功",
      "加载内置配置文件失败: ");
  py::object path = global("os").attr("path");
  remember_config_dir(self, path.attr("join")(path.attr("dirname")(global("__file__")), "config.json"));
}

void load_config(py::object self, py::object config_file) {
  load_config_from(
      self, [&] { return global("open")(config_file, "r", "encoding"_a = "utf-8"); },
      "配置加载成功", "加载配置文件失败: ");
  remember_config_dir(self, config_file);
}

void load_error_terms(py::object self) {
  host::guard(
      [&] {
        py::object library = load_json_and_close(open_package_text("error_terms_library.json"));
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

void create_directories(py::object self) {
  py::object makedirs = global("os").attr("makedirs");
  for (const char *name : {"input_dir", "output_dir", "backup_dir"}) {
    makedirs(self.attr(name), "exist_ok"_a = true);
  }
  host::info("目录创建成功");
}

void generate_prompt(py::object self) {
  host::set_attr(self, "system_prompt", host::text(prompt::correction_prompt()));
  host::info("字幕校对提示词生成成功");
}

}  // namespace brivane::bind
