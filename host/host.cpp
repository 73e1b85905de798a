// The host's facilities as the native code reaches them: module-global
// lookups (looked up at the moment of use, so callers that patch
// `brivane.brivane.requests`, `time.sleep`, `logger`, ... are seen),
// records through the module logger with the key redacted, text and number
// conversion, exception capture, the package's data files, the one atomic
// write of a finished file, and native functions as methods of an ordinary
// Python class.

#include "host/host.h"

#include <pybind11/gil_safe_call_once.h>
#include <structmember.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

#include <vector>


namespace brivane::host {
using namespace pybind11::literals;

namespace {
// Owned: a caller may drop the module from `sys.modules` and import it
// again while objects of the first import are still in use.
PyObject *g_module = nullptr;
}  // namespace

void set_module(py::handle module) {
  PyObject *previous = g_module;
  g_module = module.inc_ref().ptr();
  Py_XDECREF(previous);
}

py::object global(const char *name) {
  PyObject *globals = PyModule_GetDict(g_module);  // borrowed
  if (PyObject *value = PyDict_GetItemString(globals, name)) {
    return py::reinterpret_borrow<py::object>(value);
  }
  py::object builtins = py::module_::import("builtins");
  if (py::hasattr(builtins, name)) return builtins.attr(name);
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw py::error_already_set();
}

std::string utf8(py::handle value) {
  py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogatepass"));
  if (!bytes) throw py::error_already_set();
  char *data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes.ptr(), &data, &size);
  return std::string(data, static_cast<size_t>(size));
}

py::str text(std::string_view bytes) {
  PyObject *result = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                          "surrogatepass");
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result);
}

std::string str_of(py::handle obj) {
  py::object s = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
  if (!s) throw py::error_already_set();
  return utf8(s);
}

std::string message_of(const py::error_already_set &error) { return str_of(error.value()); }

namespace {
// Guarded by the interpreter's lock, like every other host call.
std::vector<std::string> &secrets() {
  static std::vector<std::string> *known = new std::vector<std::string>();
  return *known;
}
}  // namespace

std::string write_failure(py::handle path, const py::error_already_set &error) {
  if (!error.matches(PyExc_OSError)) return {};
  py::object errno_module = py::module_::import("errno");
  py::object code = error.value().attr("errno");
  std::string cause;
  auto is = [&](const char *name) {
    return !code.is_none() && py::hasattr(errno_module, name) && code.equal(errno_module.attr(name));
  };
  if (is("ENOSPC")) {
    cause = "磁盘空间不足";
  } else if (is("EDQUOT")) {
    cause = "超出磁盘配额";
  } else if (is("EACCES") || is("EPERM")) {
    cause = "没有写入权限";
  } else if (is("EROFS")) {
    cause = "文件系统只读";
  } else {
    py::object strerror = error.value().attr("strerror");
    cause = strerror.is_none() ? message_of(error) : str_of(strerror);
  }
  return "写入失败: " + str_of(path) + ": " + cause;
}

void remember_secret(py::handle key) {
  if (!PyUnicode_Check(key.ptr())) return;
  std::string secret = utf8(key);
  if (secret.size() < 10) return;
  for (const std::string &known : secrets()) {
    if (known == secret) return;
  }
  secrets().push_back(std::move(secret));
}

std::string redact(std::string text) {
  for (const std::string &secret : secrets()) {
    std::string shown = "sk-…" + secret.substr(secret.size() - 4);
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + shown.size())) {
      text.replace(at, secret.size(), shown);
    }
  }
  return text;
}

void log(const char *level, std::string_view message) {
  // Redacted here, so a logger a caller put in place never sees the key.
  global("logger").attr(level)(text(redact(std::string(message))));
}

py::error_already_set current_error() {
  try {
    throw;
  } catch (py::error_already_set &e) {
    return e;
  } catch (py::builtin_exception &e) {
    e.set_error();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native failure");
  }
  return py::error_already_set();
}

py::error_already_set chained(PyObject *type, std::string_view message,
                              const py::error_already_set &cause) {
  py::object error = py::reinterpret_borrow<py::object>(type)(text(message));
  py::object cause_value = cause.value();
  PyException_SetCause(error.ptr(), cause_value.inc_ref().ptr());  // steals
  PyException_SetContext(error.ptr(), cause_value.inc_ref().ptr());
  PyErr_SetObject(type, error.ptr());
  return py::error_already_set();
}

bool is_ordinary(const py::error_already_set &error) { return error.matches(PyExc_Exception); }

py::object get(py::handle mapping, const char *key, py::handle fallback) {
  return mapping.attr("get")(key, fallback);
}

bool contains(py::handle container, py::handle item) {
  int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

bool truthy(py::handle obj) {
  int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

}  // namespace brivane::host

namespace brivane::host {

// The host deprecates `importlib.resources.open_text` on some versions; the
// warning would be attributed to whatever script constructed the engine, so
// it is silenced for this one call.
py::object open_package_text(const char *resource) {
  py::object warnings = py::module_::import("warnings");
  py::object stream;
  with(warnings.attr("catch_warnings")(), [&] {
    warnings.attr("simplefilter")("ignore", py::handle(PyExc_DeprecationWarning));
    stream = global("importlib").attr("resources").attr("open_text")("brivane", resource);
  });
  return stream;
}

// `json.load(stream)`, closing the stream as soon as it is parsed.
py::object load_json_and_close(py::object stream) {
  py::object parsed;
  with(stream, [&] { parsed = global("json").attr("load")(stream); });
  return parsed;
}

}  // namespace brivane::host

namespace brivane::bind {

void replace_file(py::handle output_path, std::string_view content) {
  py::object os = host::global("os");
  py::object path = os.attr("path");
  // A link at the path is replaced, never written through: it may point at
  // an input.
  py::object target = py::reinterpret_borrow<py::object>(output_path);
  py::object folder = path.attr("dirname")(target);
  py::str base = path.attr("basename")(target);
  int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() |
              os.attr("O_EXCL").cast<int>() |
              py::getattr(os, "O_BINARY", py::int_(0)).cast<int>();
  static std::atomic<unsigned long> serial{0};
  py::object temp, fd;
  while (!fd) {
    std::string name = "." + host::utf8(base) + "." + host::str_of(os.attr("getpid")()) + "-" +
                       std::to_string(++serial) + ".tmp";
    temp = path.attr("join")(folder, host::text(name));
    try {
      fd = os.attr("open")(temp, flags, 0666);
    } catch (py::error_already_set &error) {
      if (error.matches(PyExc_FileExistsError)) continue;
      // Name the file the caller asked for, not the temporary one.
      if (error.matches(PyExc_OSError)) error.value().attr("filename") = output_path;
      throw;
    }
  }
  try {
    py::object stream = host::global("open")(fd, "wb");
    host::with(stream, [&] {
      // Handed over without a copy; the buffer outlives the call.
      py::object data = py::reinterpret_steal<py::object>(PyMemoryView_FromMemory(
          const_cast<char *>(content.data()), static_cast<Py_ssize_t>(content.size()), PyBUF_READ));
      if (!data) throw py::error_already_set();
      stream.attr("write")(data);
    });
    py::object existing = py::none();
    try {
      existing = os.attr("stat")(target);
    } catch (py::error_already_set &error) {
      if (!error.matches(PyExc_FileNotFoundError)) throw;
    }
    if (!existing.is_none()) {
      os.attr("chmod")(temp, py::object(existing.attr("st_mode")) & py::int_(07777));
    }
    os.attr("replace")(temp, target);
  } catch (...) {
    py::error_already_set failure = host::current_error();
    try {
      os.attr("unlink")(temp);
    } catch (py::error_already_set &) {
    }
    throw failure;
  }
}

py::list risk_records(const std::vector<text::Risk> &risks) {
  py::list records;
  for (const text::Risk &risk : risks) {
    py::dict shown;
    shown["kind"] = host::text(text::risk_kind_name(risk.kind));
    shown["before"] = host::text(risk.before);
    shown["after"] = host::text(risk.after);
    shown["label"] = host::text(text::risk_label(risk));
    records.append(shown);
  }
  return records;
}

}  // namespace brivane::bind

namespace brivane::bind {

long long saturated(py::handle value) {
  int overflow = 0;
  long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow) return overflow > 0 ? LLONG_MAX / 4 : LLONG_MIN / 4;
  return result;
}

std::optional<long long> optional_bound(py::handle value) {
  if (value.is_none()) return std::nullopt;
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  return saturated(index);
}

bool valid_window_size(py::handle value) {
  if (!PyLong_Check(value.ptr())) return false;
  int positive = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_GT);
  if (positive < 0) throw py::error_already_set();
  return positive == 1;
}

}  // namespace brivane::bind

namespace brivane::method::detail {

std::string text_signature(const std::string &name, const std::vector<Param> &params,
                                  bool bound) {
  std::string sig = name + "(";
  bool first = true;
  for (size_t k = 0; k < params.size(); ++k) {
    if (!first) sig += ", ";
    first = false;
    if (bound && k == 0) {
      sig += "$self";
      continue;
    }
    if (params[k].keyword_only && (k == 0 || !params[k - 1].keyword_only)) sig += "*, ";
    sig += params[k].name;
    if (params[k].fallback) sig += "=" + host::str_of(py::repr(params[k].fallback));
  }
  return sig + ")\n--\n\n";
}

namespace {

// A class member that binds like a Python function: looked up on an
// instance it gives a bound method, on the class the member itself. Calls go
// to the builtin, `self` first.
struct MethodObject {
  PyObject_HEAD
  PyObject *function;  // the builtin doing the work
  PyObject *qualname;  // "{class}.{name}"
};

PyObject *method_call(PyObject *self, PyObject *args, PyObject *kwargs) {
  return PyObject_Call(reinterpret_cast<MethodObject *>(self)->function, args, kwargs);
}

PyObject *method_get(PyObject *self, PyObject *obj, PyObject *) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

void method_dealloc(PyObject *self) {
  auto *m = reinterpret_cast<MethodObject *>(self);
  PyTypeObject *type = Py_TYPE(self);
  Py_XDECREF(m->function);
  Py_XDECREF(m->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject *method_repr(PyObject *self) {
  return PyUnicode_FromFormat("<method %U>", reinterpret_cast<MethodObject *>(self)->qualname);
}

// __name__, __doc__ and __text_signature__ are the builtin's.
PyObject *from_function(PyObject *self, void *name) {
  return PyObject_GetAttrString(reinterpret_cast<MethodObject *>(self)->function,
                                static_cast<const char *>(name));
}

PyTypeObject *method_type() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
  return reinterpret_cast<PyTypeObject *>(
      storage
          .call_once_and_store_result([] {
            static PyMemberDef members[] = {
                {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
                {nullptr, 0, 0, 0, nullptr}};
            static PyGetSetDef getset[] = {
                {"__name__", from_function, nullptr, nullptr, const_cast<char *>("__name__")},
                {"__doc__", from_function, nullptr, nullptr, const_cast<char *>("__doc__")},
                {"__text_signature__", from_function, nullptr, nullptr,
                 const_cast<char *>("__text_signature__")},
                {nullptr, nullptr, nullptr, nullptr, nullptr}};
            static PyType_Slot slots[] = {
                {Py_tp_call, reinterpret_cast<void *>(method_call)},
                {Py_tp_descr_get, reinterpret_cast<void *>(method_get)},
                {Py_tp_dealloc, reinterpret_cast<void *>(method_dealloc)},
                {Py_tp_repr, reinterpret_cast<void *>(method_repr)},
                {Py_tp_members, members},
                {Py_tp_getset, getset},
                {0, nullptr}};
            // The module part of the name becomes the members' `__module__`.
            static PyType_Spec description = {"brivane.brivane.method", sizeof(MethodObject), 0,
                                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR, slots};
            PyObject *type = PyType_FromSpec(&description);
            if (!type) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(type);
          })
          .get_stored()
          .ptr());
}

}  // namespace

bool is_defined_method(py::handle bound, const char *name) {
  if (!PyMethod_Check(bound.ptr())) return false;
  PyObject *method = PyMethod_GET_FUNCTION(bound.ptr());
  if (Py_TYPE(method) != method_type()) return false;
  py::object own = py::reinterpret_borrow<py::object>(reinterpret_cast<MethodObject *>(method)->function);
  py::object own_name = own.attr("__name__");
  return own_name.equal(py::str(name));
}

void add_method(py::handle cls, const char *name, py::object fn) {
  PyTypeObject *type = method_type();
  py::object method = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
  if (!method) throw py::error_already_set();
  auto *m = reinterpret_cast<MethodObject *>(method.ptr());
  m->function = fn.release().ptr();
  m->qualname = py::str(py::str(cls.attr("__qualname__")) + py::str(".") + py::str(name))
                    .release()
                    .ptr();
  py::setattr(cls, name, method);
}

}  // namespace brivane::method::detail

namespace brivane::method {

bool is_defined(py::handle self, const char *name) {
  return detail::is_defined_method(self.attr(name), name);
}

}  // namespace brivane::method
