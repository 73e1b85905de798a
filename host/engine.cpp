// The class `Brivane`: an ordinary Python class whose methods are the
// engine's native functions (method.h), its construction and configuration,
// the error-terms library and the prompt.
#include <optional>
#include <string>
#include <vector>

#include "host/engine.h"
#include "host/host.h"
#include "host/settings.h"
#include "prompt/prompt.h"
#include "text/glossary.h"
#include "text/terms.h"

namespace brivane::bind {

py::object define_engine_class(py::module_ &m) {
  using brivane::method::define;
  using brivane::method::keyword;
  using brivane::method::optional;
  using brivane::method::required;
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "Brivane";
  ns["__doc__"] = "医学字幕校对器类";
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
  py::object cls = type("Brivane", py::tuple(), ns);

  define<&init>(cls, "__init__",
                "初始化字幕校对器\n\n"
                "Args:\n"
                "    api_key: DeepSeek API密钥\n"
                "    input_dir: 输入字幕文件目录\n"
                "    output_dir: 输出字幕文件目录\n"
                "    config_file: 配置文件路径，为None时使用内置配置\n",
                {required("api_key"), required("input_dir"), required("output_dir"),
                 optional("config_file", py::none()), keyword("config", py::none()),
                 keyword("settings", py::none()), keyword("glossary_files", py::none()),
                 keyword("glossaries_read", py::none())});
  define<&load_config_from_package>(cls, "load_config_from_package", "加载内置的配置文件");
  define<&load_config>(cls, "load_config",
                       "加载配置文件\n\n"
                       "Args:\n"
                       "    config_file: 配置文件路径\n",
                       {required("config_file")});
  define<&load_error_terms>(cls, "load_error_terms", "加载错误术语库");
  define<&create_directories>(cls, "create_directories", "创建必要的目录");
  define<&generate_prompt>(cls, "generate_prompt", "生成字幕校对提示词");
  define<&backup_files>(cls, "backup_files", "备份文件");
  define<&parse_srt>(cls, "parse_srt",
                     "解析SRT格式字幕文件\n\n"
                     "Args:\n"
                     "    file_path: SRT文件路径\n\n"
                     "Returns:\n"
                     "    字幕对象列表，每个对象包含index、start_time、end_time和text\n",
                     {required("file_path")});
  define<&write_srt>(cls, "write_srt",
                     "将字幕对象列表写入SRT文件\n\n"
                     "Args:\n"
                     "    subtitles: 字幕对象列表\n"
                     "    output_path: 输出文件路径\n\n"
                     "Returns:\n"
                     "    写入成功返回True，否则返回False\n",
                     {required("subtitles"), required("output_path")});
  define<&call_deepseek_api_with_subtitle_prompt>(
      cls, "call_deepseek_api_with_subtitle_prompt",
      "调用DeepSeek API进行字幕校正\n\n"
      "Args:\n"
      "    subtitle_text: 需要校正的字幕文本（SRT格式）\n"
      "    max_retries: 最大尝试次数\n"
      "    retry_delay: 重试间隔（秒）\n"
      "    timeout: 请求超时时间（秒）\n\n"
      "Returns:\n"
      "    校正后的字幕文本\n",
      {required("subtitle_text"), optional("max_retries", py::int_(5)),
       optional("retry_delay", py::int_(5)), optional("timeout", py::int_(180))});
  define<&remove_annotations>(cls, "remove_annotations",
                              "移除文本中可能的注释\n\n"
                              "Args:\n"
                              "    text: API返回的文本\n\n"
                              "Returns:\n"
                              "    清理后的文本\n",
                              {required("text")});
  define<&extract_blocks_from_text>(cls, "extract_blocks_from_text",
                                    "从文本中提取字幕块\n\n"
                                    "Args:\n"
                                    "    text: 包含SRT字幕块的文本\n\n"
                                    "Returns:\n"
                                    "    字幕对象列表\n",
                                    {required("text")});
  define<&get_output_path>(cls, "get_output_path",
                           "获取输出文件路径\n\n"
                           "Args:\n"
                           "    file_path: 输入文件路径\n\n"
                           "Returns:\n"
                           "    输出文件路径\n",
                           {required("file_path")});
  define<&process_subtitle_file>(
      cls, "process_subtitle_file",
      "处理字幕文件\n\n"
      "Args:\n"
      "    file_path: 字幕文件路径\n"
      "    custom_window_size: 自定义窗口大小，为None时使用配置中的window_size\n"
      "    start_window: 起始窗口编号（从1开始），为None时从第一个窗口开始\n"
      "    end_window: 结束窗口编号（包含），为None时处理到最后一个窗口\n\n"
      "Returns:\n"
      "    处理成功返回True，否则返回False\n",
      {required("file_path"), optional("custom_window_size", py::none()),
       optional("start_window", py::none()), optional("end_window", py::none())});
  define<&apply_term_corrections>(cls, "apply_term_corrections",
                                  "对AI校正后的文本应用错误术语库精确替换", {required("text")});
  define<&process_all_files>(cls, "process_all_files", "处理所有字幕文件",
                             {keyword("progress", py::none())});
  return cls;
}

}  // namespace brivane::bind

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

// Glossary files the caller read already with the engine's reader (its
// check before a run), by absolute path: taken instead of reading them
// again, by the first loading only.
constexpr const char *kGlossariesRead = "_glossaries_read";

// Sets `config` and the seven attributes derived from it, `dict.get`
// semantics: a key present with null yields None, not the default.
void apply_config(py::handle self, py::object config) {
  host::set_attr(self, "config", config);
  for (const char *name : {"api_url", "model", "backup_dir", "error_terms_file", "window_size",
                           "file_pattern", "preserve_original_index"}) {
    host::set_attr(self, name, settings::value(config, name));
  }
}

// The folder that relative `glossary_files` are read from: the configuration
// file's, taken at load time so a later change of directory does not move
// it. None when the file has no folder (an open descriptor): the working
// directory is used then.
// `config_file` keeps the file's own path, for the backup.
void remember_config_dir(py::handle self, py::handle config_file) {
  py::object path = global("os").attr("path");
  py::object file = py::none();
  try {
    file = path.attr("abspath")(config_file);
  } catch (py::error_already_set &error) {
    if (!host::is_ordinary(error)) throw;
  }
  host::set_attr(self, "config_dir", settings::configuration_folder(path, config_file));
  host::set_attr(self, "config_file", file);
}

// A misspelt key would otherwise be ignored without a word.
void warn_unknown_keys(py::handle config) {
  if (!PyDict_Check(config.ptr())) return;
  py::list names;
  for (const settings::Key &key : settings::keys()) names.append(key.name);
  auto warn = [&](py::handle section, const std::string &prefix) {
    for (py::handle key : section) {
      if (!PyUnicode_Check(key.ptr())) continue;
      std::string name = prefix + host::utf8(key);
      if (host::contains(names, host::text(name))) continue;
      py::list close =
          py::module_::import("difflib").attr("get_close_matches")(host::text(name), names, 1);
      host::warning("未知的配置项: " + name +
                    (py::len(close) ? " (是否为 " + host::str_of(close[0]) + "?)" : std::string()));
    }
  };
  warn(config, "");
  py::object section = config.attr("get")("logging");
  if (PyDict_Check(section.ptr())) warn(section, "logging.");
}

// Both loaders: parse, apply, report; a failure is logged and re-raised as
// the very same exception object.
template <class Read>
void load_config_from(py::handle self, Read &&read, const char *success, const char *failure) {
  host::guard(
      [&] {
        py::object config = read();
        apply_config(self, config);
        host::info(success);
        warn_unknown_keys(config);
        // The command line refuses these; a host calling the engine hears of
        // them here, and the engine reads such a flag as its default.
        for (const std::string &problem : settings::problems(config, false)) host::warning(problem);
      },
      [&](py::error_already_set &error) {
        host::error(std::string(failure) + host::message_of(error));
        throw error;
      });
}

}  // namespace

namespace {

// The configuration with a run's own settings over it; a `logging` member
// of them replaces single keys of that section.
py::dict with_settings(py::handle config, py::handle overrides) {
  py::dict merged = py::reinterpret_steal<py::dict>(PyDict_Copy(config.ptr()));
  if (!merged) throw py::error_already_set();
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(overrides)) {
    py::object section = merged.attr("get")(key);
    if (py::str(key).equal(py::str("logging")) && PyDict_Check(section.ptr()) &&
        PyDict_Check(value.ptr())) {
      py::dict both = py::reinterpret_steal<py::dict>(PyDict_Copy(section.ptr()));
      if (!both) throw py::error_already_set();
      both.attr("update")(value);
      merged[key] = both;
    } else {
      merged[key] = value;
    }
  }
  return merged;
}

py::object package_config_path() {
  py::object path = global("os").attr("path");
  return path.attr("join")(path.attr("dirname")(global("__file__")), "config.json");
}

}  // namespace

void init(py::object self, py::object api_key, py::object input_dir, py::object output_dir,
          py::object config_file, py::object config, py::object overrides,
          py::object glossary_files, py::object glossaries_read) {
  host::set_attr(self, "api_key", api_key);
  host::remember_secret(api_key);
  host::set_attr(self, "input_dir", input_dir);
  host::set_attr(self, "output_dir", output_dir);
  if (!config.is_none()) {
    // Read already (by the command line, with the same reader): applied as
    // if loaded from `config_file` now, without reading it again.
    if (!PyDict_Check(config.ptr())) throw py::type_error("config 必须是JSON对象");
    bool packaged = config_file.is_none();
    load_config_from(
        self, [&] { return config; }, packaged ? "内置配置加载成功" : "配置加载成功",
        packaged ? "加载内置配置文件失败: " : "加载配置文件失败: ");
    remember_config_dir(self, packaged ? package_config_path() : config_file);
  } else if (config_file.is_none()) {
    self.attr("load_config_from_package")();
  } else {
    self.attr("load_config")(config_file);
  }
  if (!overrides.is_none()) {
    if (!PyDict_Check(overrides.ptr())) throw py::type_error("settings 必须是JSON对象");
    apply_config(self, with_settings(self.attr("config"), overrides));
  }
  if (!glossaries_read.is_none()) {
    if (!PyDict_Check(glossaries_read.ptr())) throw py::type_error("glossaries_read 必须是字典");
    host::set_attr(self, kGlossariesRead, glossaries_read);
  }
  if (!glossary_files.is_none()) {
    // Read after the configured ones, in order.
    py::list files;
    py::object configured = settings::value(self.attr("config"), "glossary_files");
    if (PyList_Check(configured.ptr())) files = py::list(configured);
    for (py::handle file : glossary_files) {
      if (!host::contains(files, file)) files.append(file);
    }
    apply_config(self, with_settings(self.attr("config"), py::dict("glossary_files"_a = files)));
  }
  self.attr("load_error_terms")();
  self.attr("create_directories")();
  self.attr("generate_prompt")();
}

void load_config_from_package(py::object self) {
  load_config_from(
      self, [] { return settings::read_configuration(py::none()); }, "内置配置加载成功",
      "加载内置配置文件失败: ");
  remember_config_dir(self, package_config_path());
}

void load_config(py::object self, py::object config_file) {
  load_config_from(
      self, [&] { return settings::read_configuration(config_file); },
      "配置加载成功", "加载配置文件失败: ");
  remember_config_dir(self, config_file);
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

namespace brivane::bind {
namespace {
using host::global;

[[noreturn]] void refuse(PyObject *type, const std::string &message) {
  PyErr_SetObject(type, host::text(message).ptr());
  throw py::error_already_set();
}

std::string quoted(py::handle text) { return "\"" + host::utf8(text) + "\""; }

// One user glossary file; nothing in it is silently ignored.
py::dict read_user_glossary(py::handle path, const std::string &shown, py::handle already_read) {
  std::string where = "用户术语库 " + shown + ": ";
  py::object absolute = global("os").attr("path").attr("abspath")(path);
  GlossaryFile file = host::contains(already_read, absolute)
                          ? checked_glossary(already_read[absolute])
                          : read_glossary_file(global("open"), global("json").attr("load"), path);
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

  py::object already_read = py::getattr(self, kGlossariesRead, py::dict());
  if (py::hasattr(self, kGlossariesRead)) py::delattr(self, kGlossariesRead);
  for (py::handle path : glossary_paths(self, files)) {
    std::string shown = host::str_of(path);
    py::dict glossary = read_user_glossary(path, shown, already_read);
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

py::list glossary_paths(py::handle self, py::handle files) {
  return settings::glossary_paths_in(global("os").attr("path"),
                                    py::getattr(self, "config_dir", py::none()), files);
}

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
