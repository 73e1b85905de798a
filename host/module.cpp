// The module `brivane.brivane`: import-time set-up of the host facilities and
// the process log, then the class `Brivane` and the function `main`.
//
// `Brivane` is built as an ordinary Python class (`type(...)` with `object`
// as its only base); its methods are native functions bound as instance
// methods (method.h), so instances carry a `__dict__`, subclasses and
// replaced methods work, and every method reaches the others through
// attribute lookup on `self`.
#include <pybind11/pybind11.h>

#include "host/client.h"
#include "host/engine.h"
#include "host/host.h"

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
}

void init_module(py::module_ &m) {
  brivane::host::set_module(m);
  m.doc() = kModuleDoc;
  bind_host_modules(m);
  configure_logging(m);
  m.attr("Brivane") = brivane::bind::define_engine_class(m);
  m.attr("main") = brivane::method::function<&brivane::bind::main>("main", "主函数", {}, false,
                                                                   m.attr("__name__"));
  // Requests still in flight when a batch stopped end before the interpreter
  // finalises.
  py::module_::import("atexit").attr("register")(py::cpp_function(&brivane::bind::join_fetch_threads));
  // For the command line only; not part of the module's surface.
  m.attr("_fetches_in_flight") = py::cpp_function(&brivane::bind::fetches_in_flight);
  m.attr("_dry_run_requests") = py::cpp_function(&brivane::bind::dry_run_requests);
  // What the review report writes shows no key either.
  m.attr("_redact") = py::cpp_function([](py::str text) -> py::str {
    return brivane::host::text(brivane::host::redact(brivane::host::utf8(text)));
  });
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
