// The module `brivane.brivane`: import-time set-up of the host facilities and
// the process log, then the class `Brivane` and the function `main`.
//
// `Brivane` is built as an ordinary Python class (`type(...)` with `object`
// as its only base); its methods are native functions bound as instance
// methods (method.h), so instances carry a `__dict__`, subclasses and
// replaced methods work, and every method reaches the others through
// attribute lookup on `self`.
#include <pybind11/pybind11.h>

#include "host/bindings.h"
#include "host/host.h"
#include "host/method.h"
#include "host/prefetch.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

constexpr const char *kModuleDoc =
    "\n"
    "医学视频字幕校对系统\n"
    "用于自动校正医学视频字幕中的术语错误，同时保持原始字幕结构和时间戳不变\n"
    "支持处理分割成多个部分的字幕文件\n";

constexpr const char *kLogFormat = "%(asctime)s - %(name)s - %(levelname)s - %(message)s";

void bind_host_modules(py::module_ &m) {
  for (const char *name : {"os", "json", "requests", "time", "shutil", "zipfile"}) {
    m.attr(name) = py::module_::import(name);
  }
  m.attr("datetime") = py::module_::import("datetime").attr("datetime");
  for (const char *name : {"logging", "re", "glob", "threading"}) {
    m.attr(name) = py::module_::import(name);
  }
  py::module_::import("importlib.resources");
  m.attr("importlib") = py::module_::import("importlib");
}

// A host that configured the root logger first keeps its configuration:
// `basicConfig` does nothing then, though the log file is opened anyway.
void configure_logging(py::module_ &m) {
  m.attr("os").attr("makedirs")("logs", "exist_ok"_a = true);
  py::object logging = m.attr("logging");
  py::object file_handler = logging.attr("FileHandler")("logs/brivane.log", "encoding"_a = "utf-8");
  py::object stream_handler = logging.attr("StreamHandler")();
  py::tuple handlers = py::make_tuple(file_handler, stream_handler);
  logging.attr("basicConfig")("level"_a = logging.attr("INFO"), "format"_a = kLogFormat,
                              "handlers"_a = handlers);
  // The log file stays open for the life of the process even when a host's
  // own configuration left the handlers unused.
  handlers.inc_ref();
  m.attr("logger") = logging.attr("getLogger")("Brivane");
  m.attr("logger").attr("addFilter")(py::cpp_function(&brivane::host::redact_record));
}

py::object define_engine_class(py::module_ &m) {
  using namespace brivane::bind;
  using brivane::method::define;
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
                 optional("config_file", py::none())});
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
  define<&process_all_files>(cls, "process_all_files", "处理所有字幕文件");
  return cls;
}

void init_module(py::module_ &m) {
  brivane::host::set_module(m);
  m.doc() = kModuleDoc;
  bind_host_modules(m);
  configure_logging(m);
  m.attr("Brivane") = define_engine_class(m);
  m.attr("main") = brivane::method::function<&brivane::bind::main>("main", "主函数", {}, false,
                                                                   m.attr("__name__"));
  // Requests still in flight when a batch stopped end before the interpreter
  // finalises.
  py::module_::import("atexit").attr("register")(py::cpp_function(&brivane::bind::join_fetch_threads));
  // For the command line only; not part of the module's surface.
  m.attr("_fetches_in_flight") = py::cpp_function(&brivane::bind::fetches_in_flight);
  m.attr("_dry_run_requests") = py::cpp_function(&brivane::bind::dry_run_requests);
  if (py::str(m.attr("__name__")).equal(py::str("__main__"))) brivane::bind::main();
}

// The entry is written against the plain C API (multi-phase initialisation)
// rather than pybind11's macro, which turns any failure into "ImportError:
// initialization failed": the importer should see the host's exception itself
// (say, the FileExistsError of a file named "logs").
int exec_module(PyObject *module) {
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    init_module(m);
    return 0;
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(&exec_module)},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "brivane", nullptr, 0, nullptr,
                          module_slots, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_brivane() {
  PYBIND11_CHECK_PYTHON_VERSION
  return PyModuleDef_Init(&module_def);
}
