// Construction, configuration, the error-terms library and the prompt.
#include <string>

#include "brivane/bindings.h"
#include "brivane/host.h"
#include "prompt/prompt.h"

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

// Both loaders: parse, apply, report; a failure is logged and re-raised as
// the very same exception object.
template <class Open>
void load_config_from(py::handle self, Open &&open, const char *success, const char *failure) {
  host::guard(
      [&] {
        apply_config(self, load_json_and_close(open()));
        host::info(success);
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
}

void load_config(py::object self, py::object config_file) {
  load_config_from(
      self, [&] { return global("open")(config_file, "r", "encoding"_a = "utf-8"); },
      "配置加载成功", "加载配置文件失败: ");
}

void load_error_terms(py::object self) {
  host::guard(
      [&] {
        py::object library = load_json_and_close(open_package_text("error_terms_library.json"));
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
