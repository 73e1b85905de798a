// Construction, configuration, the error-terms library and the prompt.
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/host.h"
#include "host/settings.h"
#include "host/package_files.h"
#include "prompt/prompt.h"

namespace brivane::bind {
namespace {
using host::global;
using namespace pybind11::literals;

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
template <class Open>
void load_config_from(py::handle self, Open &&open, const char *success, const char *failure,
                      bool read = true) {
  host::guard(
      [&] {
        py::object config = read ? host::load_json_and_close(open()) : open();
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
          py::object glossary_files) {
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
        packaged ? "加载内置配置文件失败: " : "加载配置文件失败: ", false);
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
      self, [] { return host::open_package_text("config.json"); }, "内置配置加载成功",
      "加载内置配置文件失败: ");
  remember_config_dir(self, package_config_path());
}

void load_config(py::object self, py::object config_file) {
  load_config_from(
      self, [&] { return global("open")(config_file, "r", "encoding"_a = "utf-8"); },
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
