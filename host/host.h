// The host's facilities as the native code reaches them: module-global
// lookups (looked up at the moment of use, so callers that patch
// `brivane.brivane.requests`, `time.sleep`, `logger`, ... are seen),
// records through the module logger with the key redacted, text and number
// conversion, exception capture, the package's data files, the one atomic
// write of a finished file, and native functions as methods of an ordinary
// Python class.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "text/risk.h"
#include "text/spans.h"
#include "text/srt.h"

namespace brivane::host {
namespace py = pybind11;

// Remembers the module whose globals the lookups below read.
void set_module(py::handle module);

// The module's global `name`, falling back to builtins like a Python name.
py::object global(const char *name);

// Python text <-> UTF-8. Lone surrogates survive the round trip.
std::string utf8(py::handle text);
py::str text(std::string_view utf8_bytes);
// The text form of any object, `str(obj)`, as UTF-8.
std::string str_of(py::handle obj);
// The text form of an exception value as `f"{e}"` would give it.
std::string message_of(const py::error_already_set &error);

// One record through the module logger at the given level.
void log(const char *level, std::string_view message);

// "写入失败: {path}: {cause}" for a write that failed with an OSError, the
// cause in words (a full disk, no permission, ...); empty for other errors.
std::string write_failure(py::handle path, const py::error_already_set &error);

// The API keys engines were given. No record, comparison log, report or
// message shows one: each appears as "sk-…" and its last four characters.
// Keys shorter than ten characters are no real keys and are left alone.
void remember_secret(py::handle key);
std::string redact(std::string text);
inline void debug(std::string_view m) { log("debug", m); }
inline void info(std::string_view m) { log("info", m); }
inline void warning(std::string_view m) { log("warning", m); }
inline void error(std::string_view m) { log("error", m); }
inline void critical(std::string_view m) { log("critical", m); }

// Engine attribute access through ordinary Python attribute lookup.
inline py::object attr(py::handle self, const char *name) { return self.attr(name); }
inline void set_attr(py::handle self, const char *name, py::handle value) {
  py::setattr(self, name, value);
}

// Truth value as Python's `bool(obj)`.
bool truthy(py::handle obj);

// Turns the C++ exception in flight into a Python one. Call from `catch (...)`.
py::error_already_set current_error();

// `raise type(message) from cause`, as an error ready to throw. Not
// `py::raise_from`: that takes the message as a C string decoded strictly,
// and ours carry host texts that may hold lone surrogates.
py::error_already_set chained(PyObject *type, std::string_view message,
                              const py::error_already_set &cause);

// True when the error belongs to the `Exception` family, i.e. what a
// `try: ... except Exception:` in the host would catch.
bool is_ordinary(const py::error_already_set &error);

// Runs `body`; an `Exception`-family failure goes to `handler(error)`,
// anything else (KeyboardInterrupt, SystemExit) passes through untouched.
template <class Body, class Handler>
auto guard(Body &&body, Handler &&handler) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    py::error_already_set error = current_error();
    if (!is_ordinary(error)) throw error;
    return handler(error);
  }
}

// `with manager as entered: body(entered)` (or `body()`), with the host's
// semantics: `__exit__` sees any failure of the body, interrupts included,
// and may suppress it by returning true; a failure inside `__exit__`
// replaces the body's.
template <class Body>
void with(const py::object &manager, Body &&body) {
  py::object exit = manager.attr("__exit__");
  py::object entered = manager.attr("__enter__")();
  try {
    if constexpr (std::is_invocable_v<Body, py::handle>) {
      body(entered);
    } else {
      body();
    }
  } catch (...) {
    py::error_already_set failure = current_error();
    py::object value = failure.value();
    if (!truthy(exit(py::type::handle_of(value), value, failure.trace()))) throw failure;
    return;
  }
  exit(py::none(), py::none(), py::none());
}

// Creates "{stem}{ext}" in `folder`, or "{stem}_2{ext}", "{stem}_3{ext}",
// ... when the name is taken, with `create(path)`, which must fail with
// FileExistsError on a taken name (exclusive creation: no two writers ever
// get one name). Returns the path and what `create` returned.
template <class Create>
std::pair<py::object, py::object> claim_name(py::handle folder, const std::string &stem,
                                             const std::string &ext, Create &&create) {
  py::object join = global("os").attr("path").attr("join");
  for (int n = 1;; ++n) {
    std::string name = n == 1 ? stem + ext : stem + "_" + std::to_string(n) + ext;
    py::object path = join(folder, text(name));
    try {
      py::object created = create(path);
      return {path, created};
    } catch (py::error_already_set &error) {
      if (!error.matches(PyExc_FileExistsError)) throw;
    }
  }
}

// `item in container`.
bool contains(py::handle container, py::handle item);
inline bool contains(py::handle container, const char *item) {
  return contains(container, py::str(item));
}

// `dict.get`-style lookup on any mapping: `mapping.get(key, fallback)`.
py::object get(py::handle mapping, const char *key, py::handle fallback);


}  // namespace brivane::host

namespace brivane::host {
namespace py = pybind11;

// A text file of the `brivane` package, open for reading.
py::object open_package_text(const char *resource);

// `json.load(stream)`, closing the stream as soon as it is parsed.
py::object load_json_and_close(py::object stream);

}  // namespace brivane::host

namespace brivane::bind {
namespace py = pybind11;

// Writes `data` to a new file beside `target` and renames it over the
// target only once complete, so a failure never leaves a half-written or
// emptied file, and no existing file (or link target) is written into. The
// result gets the permissions a plain write would give: the target's own
// when it exists, else 0666 less the umask.
void replace_file(py::handle output_path, std::string_view content);

// A block's medical risks as changes.json stores them: [{kind, before, after, label}].
py::list risk_records(const std::vector<text::Risk> &risks);

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// Python ints of any size, saturated to the range native arithmetic needs.
long long saturated(py::handle value);
// A window bound: None, or anything with `__index__`.
std::optional<long long> optional_bound(py::handle value);
// The window size a call uses (its argument, or the engine's attribute) is
// checked as the host's `isinstance(size, int) and size > 0` would; the
// configuration file's key has its own, stricter rule (settings.h).
bool valid_window_size(py::handle value);

}  // namespace brivane::bind

namespace brivane::bind {
namespace py = pybind11;

// UTF-8 of a str without copying where the interpreter can give it: its
// cached UTF-8 form, or (for text holding lone surrogates, which that form
// refuses) a surrogatepass encoding kept alive here. The str must outlive
// this object.
class Utf8 {
 public:
  explicit Utf8(py::handle text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
      view_ = std::string_view(data, static_cast<std::size_t>(size));
      return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    holder_ = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!holder_) throw py::error_already_set();
    view_ = std::string_view(PyBytes_AS_STRING(holder_.ptr()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(holder_.ptr())));
  }
  std::string_view view() const { return view_; }

 private:
  py::object holder_;
  std::string_view view_;
};

// Python objects made once and kept for the life of the process.
struct Constants {
  PyObject *index, *start_time, *end_time, *text;  // the Subtitle keys
  PyObject *line_end, *arrow, *block_end;         // pieces of a written block
  // A dict already holding the four keys in order; copying it and replacing
  // the values is cheaper than inserting into an empty dict.
  PyObject *subtitle_shape;
};
const Constants &constants();

// The str's own code points, read in place.
text::CodePoints code_points(py::handle str);
py::str substring(py::handle str, text::Span span);
void set_item(PyObject *dict, PyObject *key, py::handle str, text::Span span);
// Subtitle dicts whose fields are pieces of `str`.
py::list to_subtitle_list(py::handle str, const std::vector<text::SubtitleSpans> &subtitles);
// Text that is not a str: the host's own `strip()` and `re.split`, so it
// fails exactly where the plain steps would.
py::object as_text(py::object value);
// f"{value}" of one value: format(value, "").
py::object format_value(py::handle value);

}  // namespace brivane::bind

namespace brivane::method {
namespace py = pybind11;

struct Param {
  const char *name;
  py::object fallback;  // null: required
  bool keyword_only = false;
};

inline Param required(const char *name) { return {name, py::object()}; }
inline Param optional(const char *name, py::object fallback) { return {name, std::move(fallback)}; }
// After every positional parameter; always optional.
inline Param keyword(const char *name, py::object fallback) {
  return {name, std::move(fallback), true};
}

namespace detail {

struct Info {
  std::string name;
  std::string format;  // "OO|OO:name"
  std::vector<const char *> keywords;
  std::vector<py::object> fallbacks;
  PyMethodDef def{};
  std::string doc;
};

template <class R>
PyObject *to_python(R &&result) {
  if constexpr (std::is_same_v<std::decay_t<R>, bool>) {
    return py::bool_(result).release().ptr();
  } else {
    return py::object(std::forward<R>(result)).release().ptr();
  }
}

template <class Fn>
struct Traits;
template <class R, class... Args>
struct Traits<R (*)(Args...)> {
  using Result = R;
  static constexpr size_t arity = sizeof...(Args);
};

template <auto Fn>
struct Trampoline {
  using T = Traits<decltype(Fn)>;
  static constexpr size_t N = T::arity;
  static inline Info *info = nullptr;

  template <size_t... I>
  static bool parse(PyObject *args, PyObject *kwargs, std::array<PyObject *, N> &slots,
                    std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, info->format.c_str(),
                                       const_cast<char **>(info->keywords.data()),
                                       &slots[I]...) != 0;
  }

  template <size_t... I>
  static PyObject *invoke(std::array<PyObject *, N> &slots, std::index_sequence<I...>) {
    auto arg = [](PyObject *o) { return py::reinterpret_borrow<py::object>(o); };
    if constexpr (std::is_void_v<typename T::Result>) {
      Fn(arg(slots[I])...);
      Py_RETURN_NONE;
    } else {
      return to_python(Fn(arg(slots[I])...));
    }
  }

  static PyObject *call(PyObject *, PyObject *args, PyObject *kwargs) {
    std::array<PyObject *, N> slots{};
    if (!parse(args, kwargs, slots, std::make_index_sequence<N>())) return nullptr;
    for (size_t k = 0; k < N; ++k) {
      if (!slots[k]) slots[k] = info->fallbacks[k].ptr();
    }
    try {
      return invoke(slots, std::make_index_sequence<N>());
    } catch (py::error_already_set &e) {
      e.restore();
    } catch (...) {
      host::current_error().restore();
    }
    return nullptr;
  }
};

// "name(a, b=1)\n--\n\n": the signature line CPython reads from a
// builtin's `__doc__` into `__text_signature__`.
std::string text_signature(const std::string &name, const std::vector<Param> &params, bool bound);

}  // namespace detail

// A builtin function object calling `Fn` with every parameter as a Python
// object. `params` names all of Fn's parameters in order; `module` becomes
// its `__module__`.
template <auto Fn>
py::object function(const char *name, const char *doc, std::vector<Param> params, bool bound,
                    py::handle module = py::none()) {
  using T = detail::Trampoline<Fn>;
  if (params.size() != T::N) throw std::logic_error("parameter list does not match the function");
  auto *info = new detail::Info();  // lives as long as the function object may
  info->name = name;
  std::string required_part, optional_part, keyword_part;
  for (const Param &p : params) {
    info->keywords.push_back(p.name);
    info->fallbacks.push_back(p.fallback);
    (p.keyword_only ? keyword_part : p.fallback ? optional_part : required_part) += "O";
  }
  info->keywords.push_back(nullptr);
  info->format = required_part + (optional_part.empty() && keyword_part.empty() ? "" : "|") +
                 optional_part + (keyword_part.empty() ? "" : "$" + keyword_part) + ":" + name;
  info->doc = detail::text_signature(name, params, bound) + doc;
  info->def = {info->name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&T::call)),
               METH_VARARGS | METH_KEYWORDS, info->doc.c_str()};
  T::info = info;
  PyObject *fn = PyCFunction_NewEx(&info->def, nullptr, module.ptr());
  if (!fn) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(fn);
}

namespace detail {
// Sets `fn` on `cls` as `name`, wrapped in a descriptor that binds like a
// Python function and carries `__qualname__` "{class}.{name}".
void add_method(py::handle cls, const char *name, py::object fn);
}  // namespace detail

// `self.name` is still the method `define` added under that name: nothing
// (a subclass, the class, the instance) replaced it. The engine then calls
// its own code directly, handing it what a call through Python cannot carry.
bool is_defined(py::handle self, const char *name);

// Adds `Fn` to `cls` as an instance method; the first parameter is `self`.
template <auto Fn>
void define(py::handle cls, const char *name, const char *doc, std::vector<Param> params = {}) {
  params.insert(params.begin(), required("self"));
  py::object fn = function<Fn>(name, doc, std::move(params), true);
  detail::add_method(cls, name, std::move(fn));
}

}  // namespace brivane::method
