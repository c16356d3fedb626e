#include "ombrix/ref.hpp"

#include <cstdio>
#include <vector>

namespace ombrix {

#if OMBRIX_CHECKED
void no_pending_exception(const char* where) {
  if (!PyErr_Occurred()) return;
  std::fprintf(stderr, "ombrix: %s called with an exception pending\n", where);
  PyErr_Print();
  Py_FatalError("a call into the interpreter with an exception pending");
}

void result_agrees(PyObject* result, const char* where) {
  if (static_cast<bool>(result) != static_cast<bool>(PyErr_Occurred())) return;
  std::fprintf(stderr, "ombrix: %s %s\n", where,
               result ? "returned a result with an exception set" : "failed without an exception");
  if (result) PyErr_Print();
  Py_FatalError("a native function's result disagrees with the exception state");
}
#endif

bool dict_lookup(PyObject* d, PyObject* key, Ref* value) {
  OMBRIX_NO_PENDING_EXCEPTION();
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* found = nullptr;
  const int r = PyDict_GetItemRef(d, key, &found);
  *value = Ref::steal(found);
  return r >= 0;
#else
  PyObject* found = PyDict_GetItemWithError(d, key);
  // Borrowed only until this reference is taken; nothing runs in between.
  *value = Ref::borrow(found);
  return found || !PyErr_Occurred();
#endif
}

bool clear_expected(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) return false;
  PyErr_Clear();
  return true;
}

bool instance_dict_lookup(PyObject* d, PyObject* name, Ref* value) {
  if (dict_lookup(d, name, value)) return true;
#if PY_VERSION_HEX < 0x03080000
  PyErr_Clear();
  return true;
#else
  return false;
#endif
}

namespace {

#if OMBRIX_HAVE_VECTORCALL
Ref vectorcall(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  size_t npos = args.size() - static_cast<size_t>(nkw);
  return Ref::steal(OMBRIX_VECTORCALL_FN(callable, args.begin(), npos, kwnames));
}
#else
Ref tuple_call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Py_ssize_t npos = static_cast<Py_ssize_t>(args.size()) - nkw;
  Ref tuple = Ref::steal(PyTuple_New(npos));
  if (!tuple) return Ref();
  const PyObject* const* a = args.begin();
  for (Py_ssize_t i = 0; i < npos; ++i) {
    PyObject* v = const_cast<PyObject*>(a[i]);
    Py_INCREF(v);
    PyTuple_SET_ITEM(tuple.get(), i, v);
  }
  Ref kwargs;
  if (nkw) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return Ref();
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k),
                         const_cast<PyObject*>(a[npos + k])) < 0) {
        return Ref();
      }
    }
  }
  return Ref::steal(PyObject_Call(callable, tuple.get(), kwargs.get()));
}
#endif

}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  return call_kw(callable, args, nullptr);
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  OMBRIX_NO_PENDING_EXCEPTION();
#if OMBRIX_HAVE_VECTORCALL
  return vectorcall(callable, args, kwnames);
#else
  return tuple_call(callable, args, kwnames);
#endif
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
  OMBRIX_NO_PENDING_EXCEPTION();
#if PY_VERSION_HEX >= 0x03090000
  // obj goes first in the argument vector, then the method's arguments.
  PyObject* stack[kMaxCallArgs + 1];
  if (args.size() > kMaxCallArgs) {
    PyErr_SetString(PyExc_SystemError, "too many arguments for call_method");
    return Ref();
  }
  stack[0] = obj;
  size_t i = 1;
  for (PyObject* a : args) stack[i++] = a;
  return Ref::steal(PyObject_VectorcallMethod(name, stack, i, nullptr));
#else
  Ref method = getattr(obj, name);
  if (!method) return Ref();
  return call(method.get(), args);
#endif
}

}  // namespace ombrix
