// Native functions as methods of an ordinary Python class.
//
// Why not `py::cpp_function(..., py::is_method(cls))`: pybind11 puts a
// generated signature line in front of every `__doc__`, reports argument
// errors in its own words ("incompatible function arguments"), and treats a
// function named `__init__` as its own constructor. Here each method is a
// CPython builtin parsed with `PyArg_ParseTupleAndKeywords` (the host's own
// argument errors), whose `__doc__` is exactly the given text while the
// signature travels in `__text_signature__` (so `inspect.signature` works),
// wrapped in a small descriptor that binds like a Python function and
// carries `__qualname__` ("Brivane.parse_srt") and `__module__`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include <array>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/host.h"

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
