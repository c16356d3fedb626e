#include "ombrix/module.hpp"

namespace ombrix {

Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
  Ref mod = import_module(module);
  if (!mod) return Ref();
  Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  }
  return value;
}

bool bind(PyObject* module, const char* name, Ref value) {
  if (!value) return false;
  return PyModule_AddObject(module, name, value.get()) == 0 ? (value.release(), true) : false;
}

Ref make_class(PyObject* module, const char* name, PyObject* bases, const char* doc,
               std::initializer_list<std::pair<const char*, Ref>> members) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return Ref();
  Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  Ref qualname = Ref::steal(PyUnicode_FromString(name));
  if (!module_name || !qualname) return Ref();
  if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) {
    return Ref();
  }
  if (doc) {
    Ref text = Ref::steal(PyUnicode_FromString(doc));
    if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return Ref();
  }
  for (const auto& m : members) {
    if (!m.second || PyDict_SetItemString(ns.get(), m.first, m.second.get()) < 0) return Ref();
  }
  Ref type_name = Ref::steal(PyUnicode_FromString(name));
  if (!type_name) return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {type_name.get(), bases, ns.get()});
}

Ref static_method(Ref fn) {
  if (!fn) return Ref();
  return Ref::steal(PyStaticMethod_New(fn.get()));
}

}  // namespace ombrix
