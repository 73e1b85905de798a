// Native functions as plain CPython methods: keyword-aware argument parsing
// with the host's own messages, an exact `__doc__` (the signature travels in
// `__text_signature__`), and instance-method binding for use inside a class.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "brivane/host.h"

namespace brivane::method {
namespace py = pybind11;

struct Param {
  const char *name;
  py::object fallback;  // null: required
};

inline Param required(const char *name) { return {name, py::object()}; }
inline Param optional(const char *name, py::object fallback) { return {name, std::move(fallback)}; }

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

inline std::string text_signature(const std::string &name, const std::vector<Param> &params,
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
    sig += params[k].name;
    if (params[k].fallback) sig += "=" + host::str_of(py::repr(params[k].fallback));
  }
  return sig + ")\n--\n\n";
}

}  // namespace detail

// A builtin function object calling `Fn` with every parameter as a Python
// object. `params` names all of Fn's parameters in order.
template <auto Fn>
py::object function(const char *name, const char *doc, std::vector<Param> params, bool bound) {
  using T = detail::Trampoline<Fn>;
  if (params.size() != T::N) throw std::logic_error("parameter list does not match the function");
  auto *info = new detail::Info();  // lives as long as the function object may
  info->name = name;
  std::string required_part, optional_part;
  for (const Param &p : params) {
    info->keywords.push_back(p.name);
    info->fallbacks.push_back(p.fallback);
    (p.fallback ? optional_part : required_part) += "O";
  }
  info->keywords.push_back(nullptr);
  info->format = required_part + (optional_part.empty() ? "" : "|" + optional_part) + ":" + name;
  info->doc = detail::text_signature(name, params, bound) + doc;
  info->def = {info->name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&T::call)),
               METH_VARARGS | METH_KEYWORDS, info->doc.c_str()};
  T::info = info;
  PyObject *fn = PyCFunction_New(&info->def, nullptr);
  if (!fn) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(fn);
}

// Adds `Fn` to `cls` as an instance method; the first parameter is `self`.
template <auto Fn>
void define(py::handle cls, const char *name, const char *doc, std::vector<Param> params = {}) {
  params.insert(params.begin(), required("self"));
  py::object fn = function<Fn>(name, doc, std::move(params), true);
  PyObject *bound = PyInstanceMethod_New(fn.ptr());
  if (!bound) throw py::error_already_set();
  py::setattr(cls, name, py::reinterpret_steal<py::object>(bound));
}

}  // namespace brivane::method
