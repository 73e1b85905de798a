// Construction, configuration, the error-terms library and the prompt.
#include <optional>
#include <string>
#include <vector>

#include "host/bindings.h"
#include "host/host.h"
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
        py::object config = host::load_json_and_close(open());
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
      self, [] { return host::open_package_text("config.json"); }, "内置配置加载成功",
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
