// Shims between the native code and the Python host: module-global lookups,
// logging through the module logger, text conversion and exception capture,
// the package's own data files and the one atomic write of a finished file.
// Everything the host provides is looked up at the moment of use, so callers
// that patch `brivane.brivane.requests`, `time.sleep`, `logger`, ... are seen.
#pragma once
#include <pybind11/pybind11.h>

#include "text/risk.h"

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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
// A logging filter doing the same to every record's message.
bool redact_record(py::handle record);
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
