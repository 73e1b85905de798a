#include <pybind11/gil_safe_call_once.h>
#include <structmember.h>

#include <cstddef>

#include "host/method.h"

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
