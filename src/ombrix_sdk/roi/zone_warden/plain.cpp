#include "plain.hpp"

#include <descrobject.h>

namespace zone_warden {

using ombrix::Interned;
using ombrix::Ref;
using ombrix::type_lookup;

namespace {

Interned s_info("info"), s_tlwh("tlwh"), s_roi_id("roi_id"), s_roi_name("roi_name"),
    s_copy("copy"), s_copy_dispatch("_copy_dispatch"), s_dispatch_table("dispatch_table"),
    s_atomic_types("_copy_atomic_types"), s_builtin_containers("_copy_builtin_containers"),
    s_reconstruct("_reconstruct"), s_newobj("__newobj__"), s_new("__new__"),
    s_reduce_ex("__reduce_ex__"), s_reduce("__reduce__"), s_class("__class__"),
    s_getstate("__getstate__"), s_setstate("__setstate__"), s_copy_hook("__copy__"),
    s_getnewargs_ex("__getnewargs_ex__"), s_getnewargs("__getnewargs__"), s_slots("__slots__"),
    s_dict("__dict__"), s_slotnames("__slotnames__");

// What `copy.copy` relies on, as found at import. Kept for the life of the
// process. Up to 3.13 `copy.copy` first looks the class up in the dict
// `_copy_dispatch`; from 3.14 on it checks the sets `_copy_atomic_types` and
// `_copy_builtin_containers` instead. After that both go the same way for an
// instance of a plain class: no __copy__, not in `dispatch_table`, then
// `__reduce_ex__(4)` and `_reconstruct`. When the module is not laid out as
// expected, `ready` stays false and every copy goes through `copy.copy`.
struct CopyMachinery {
  bool ready = false;
  PyObject* module = nullptr;        // the copy module
  PyObject* copy = nullptr;          // copy.copy
  PyObject* dispatch = nullptr;      // copy._copy_dispatch (up to 3.13)
  PyObject* atomic = nullptr;        // copy._copy_atomic_types (3.14 on)
  PyObject* containers = nullptr;    // copy._copy_builtin_containers (3.14 on)
  PyObject* dispatch_table = nullptr;  // copy.dispatch_table (copyreg's)
  PyObject* reconstruct = nullptr;   // copy._reconstruct
  PyObject* copyreg = nullptr;       // the copyreg module
  PyObject* newobj = nullptr;        // copyreg.__newobj__
  PyObject* empty_args = nullptr;    // ()
};
CopyMachinery machinery;

bool item_type_is_plain(PyTypeObject* type) {
  return ombrix::generic_attributes(type) && type->tp_dictoffset != 0 &&
         !type_lookup(type, s_info) && !type_lookup(type, s_tlwh) &&
         !type_lookup(type, s_roi_id) && !type_lookup(type, s_roi_name);
}
Verdicts plain_items(item_type_is_plain);

PyObject* dict_entry(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v && PyErr_Occurred()) PyErr_Clear();
  return v;
}

// A class whose instances `copy.copy` copies through object.__reduce_ex__(4)
// and copyreg.__newobj__: a new instance by object.__new__, then its dict
// updated from the original's dict, and nothing else.
bool copy_type_is_plain(PyTypeObject* type) {
  if (Py_TYPE(type) != &PyType_Type || !ombrix::generic_attributes(type) ||
      type->tp_itemsize != 0 || type->tp_dictoffset == 0 ||
      type->tp_new != PyBaseObject_Type.tp_new) {
    return false;
  }
  PyObject* mro = type->tp_mro;
  if (!mro) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (base == &PyBaseObject_Type) continue;
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE) || !base->tp_dict ||
        dict_entry(base->tp_dict, s_slots)) {
      return false;
    }
  }
  for (PyObject* name : {s_new.get(), s_reduce_ex.get(), s_reduce.get(), s_class.get(),
                         s_getstate.get()}) {
    if (type_lookup(type, name) != type_lookup(&PyBaseObject_Type, name)) return false;
  }
  for (PyObject* name :
       {s_copy_hook.get(), s_setstate.get(), s_getnewargs_ex.get(), s_getnewargs.get()}) {
    if (type_lookup(type, name)) return false;
  }
  PyObject* dict_descr = type_lookup(type, s_dict);
  if (!dict_descr || Py_TYPE(dict_descr) != &PyGetSetDescr_Type) return false;
  // copyreg caches a class's slot names in the class on its first copy;
  // until then the first copy goes through copy.copy, which stores them.
  PyObject* slotnames = type->tp_dict ? dict_entry(type->tp_dict, s_slotnames) : nullptr;
  return slotnames && PyList_CheckExact(slotnames) && PyList_GET_SIZE(slotnames) == 0;
}
Verdicts plain_copies(copy_type_is_plain);

// Storing an attribute on an instance of a plain class through the generic
// setattr is a store into its instance dict, as long as no class in its MRO
// (object aside) has a data descriptor other than the class's own __dict__
// and __weakref__, and the name is not one of object's data descriptors
// (names with two leading underscores are left out altogether).
bool stores_are_plain(PyTypeObject* type) {
  if (!copy_type_is_plain(type)) return false;
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (base == &PyBaseObject_Type) continue;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(base->tp_dict, &pos, &name, &value)) {
      if (!Py_TYPE(value)->tp_descr_set) continue;
      if (!PyUnicode_Check(name) || (PyUnicode_CompareWithASCIIString(name, "__dict__") != 0 &&
                                     PyUnicode_CompareWithASCIIString(name, "__weakref__") != 0)) {
        return false;
      }
    }
  }
  return true;
}
Verdicts plain_stores(stores_are_plain);

bool dunder(PyObject* name) {
  return PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
         PyUnicode_READ_CHAR(name, 1) == '_';
}

// module.name, owned; NULL (no exception) when absent.
// True when looking a class up in `table` (an exact dict, set or frozenset)
// runs no Python code: every key compares by identity, as classes of an
// ordinary metaclass do, so no __eq__ of a key can be called.
bool lookups_are_quiet(PyObject* table) {
  auto quiet = [](PyObject* key) {
    PyTypeObject* kind = Py_TYPE(key);
    return kind->tp_richcompare == PyBaseObject_Type.tp_richcompare &&
           kind->tp_hash == PyBaseObject_Type.tp_hash;
  };
  if (PyDict_CheckExact(table)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
      if (!quiet(key)) return false;
    }
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(table));
  if (!it) {
    PyErr_Clear();
    return false;
  }
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    if (!quiet(key.get())) return false;
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

PyObject* keep(PyObject* module, PyObject* name) {
  PyObject* v = dict_entry(PyModule_GetDict(module), name);
  Py_XINCREF(v);
  return v;
}

#if PY_VERSION_HEX >= 0x030E0000
bool exact_set(PyObject* o) { return o && (PySet_CheckExact(o) || PyFrozenSet_CheckExact(o)); }

// `cls in s` for a set `s` of classes; true also when that cannot be told.
bool in_set(PyObject* s, PyObject* cls) {
  int found = PySet_Contains(s, cls);
  if (found < 0) PyErr_Clear();
  return found != 0;
}
#endif

}  // namespace

bool plain_item_type(PyTypeObject* type) {
  return Py_TYPE(type) == &PyType_Type && plain_items.check(type);
}

bool capture_copy_machinery(PyObject* copy_module) {
  machinery.ready = false;
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg || !PyModule_Check(copy_module)) {
    PyErr_Clear();
    return true;  // the general path copies
  }
  machinery.module = copy_module;
  Py_INCREF(copy_module);
  machinery.copyreg = copyreg.release();
  machinery.copy = keep(copy_module, s_copy);
#if PY_VERSION_HEX >= 0x030E0000
  machinery.atomic = keep(copy_module, s_atomic_types);
  machinery.containers = keep(copy_module, s_builtin_containers);
  const bool classes_known = exact_set(machinery.atomic) && exact_set(machinery.containers);
#else
  machinery.dispatch = keep(copy_module, s_copy_dispatch);
  const bool classes_known = machinery.dispatch && PyDict_CheckExact(machinery.dispatch);
#endif
  machinery.dispatch_table = keep(copy_module, s_dispatch_table);
  machinery.reconstruct = keep(copy_module, s_reconstruct);
  machinery.newobj = keep(machinery.copyreg, s_newobj);
  machinery.empty_args = PyTuple_New(0);
  if (!machinery.empty_args) {
    PyErr_Clear();
    return true;
  }
  // copy.copy and the helpers it ends in must be the modules' own
  // functions, not something put in their place.
  auto own_function = [](PyObject* f, PyObject* module) {
    return f && PyFunction_Check(f) && PyFunction_GET_GLOBALS(f) == PyModule_GetDict(module);
  };
  machinery.ready = own_function(machinery.copy, copy_module) && classes_known &&
                    machinery.dispatch_table && PyDict_CheckExact(machinery.dispatch_table) &&
                    own_function(machinery.reconstruct, copy_module) &&
                    own_function(machinery.newobj, machinery.copyreg);
  return true;
}

bool ShallowCopy::machinery_intact(unsigned epoch) {
  if (checked_ && checked_epoch_ == epoch) return intact_;
  checked_ = true;
  checked_epoch_ = epoch;
  intact_ = false;
  if (!machinery.ready) return false;
  PyObject* copy_dict = PyModule_GetDict(machinery.module);
  PyObject* copyreg_dict = PyModule_GetDict(machinery.copyreg);
  PyObject* table = dict_entry(copy_dict, s_dispatch_table);
#if PY_VERSION_HEX >= 0x030E0000
  const bool classes_intact = dict_entry(copy_dict, s_atomic_types) == machinery.atomic &&
                              dict_entry(copy_dict, s_builtin_containers) == machinery.containers &&
                              lookups_are_quiet(machinery.atomic) &&
                              lookups_are_quiet(machinery.containers);
#else
  const bool classes_intact = dict_entry(copy_dict, s_copy_dispatch) == machinery.dispatch &&
                              lookups_are_quiet(machinery.dispatch);
#endif
  intact_ = Py_TYPE(machinery.module) == &PyModule_Type &&
            dict_entry(copy_dict, s_copy) == machinery.copy && classes_intact &&
            table == machinery.dispatch_table && PyDict_CheckExact(table) &&
            lookups_are_quiet(table) &&
            dict_entry(copy_dict, s_reconstruct) == machinery.reconstruct &&
            dict_entry(copyreg_dict, s_newobj) == machinery.newobj;
  return intact_;
}

bool ShallowCopy::unregistered(PyTypeObject* type, unsigned epoch) {
  if (unregistered_type_ == type && unregistered_epoch_ == epoch) return true;
  PyObject* key = reinterpret_cast<PyObject*>(type);
#if PY_VERSION_HEX >= 0x030E0000
  if (in_set(machinery.atomic, key) || in_set(machinery.containers, key)) return false;
#else
  if (dict_entry(machinery.dispatch, key)) return false;
#endif
  if (dict_entry(machinery.dispatch_table, key)) return false;
  unregistered_type_ = type;
  unregistered_epoch_ = epoch;
  return true;
}

// copy.copy of an instance of `type` goes the way the direct copy follows.
bool ShallowCopy::direct(PyObject* copy_module, PyTypeObject* type, unsigned epoch) {
  return copy_module == machinery.module && machinery_intact(epoch) &&
         Py_TYPE(type) == &PyType_Type && plain_copies.check(type) && unregistered(type, epoch);
}

// object.__new__(type) for a class of plain copies, whose instance dict is
// set right after. Up to 3.11, object.__new__ is tp_alloc after a check for
// abstract methods, followed on 3.11 by setting up an empty instance dict
// (its values array), which setting the dict would turn into a dict object
// only to throw it away: tp_alloc alone is taken there. From 3.12 on the
// instance layout belongs to object.__new__ and tp_alloc together, so
// object.__new__ itself is called.
static Ref new_instance(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
  if (type->tp_alloc) {
    return Ref::steal(type->tp_alloc(type, 0));
  }
#endif
  return Ref::steal(PyBaseObject_Type.tp_new(type, machinery.empty_args, nullptr));
}

bool ShallowCopy::stores_are_direct(PyObject* copy_module, PyObject* item, PyObject* attrs,
                                    unsigned epoch) {
  PyTypeObject* type = Py_TYPE(item);
  if (!attrs || !PyDict_CheckExact(attrs)) return false;
  // What holds for the class holds until Python code runs.
  if (stores_type_ != type || stores_epoch_ != epoch || copy_module != machinery.module) {
    stores_type_ = nullptr;
    // An abstract class fails in object.__new__: copy.copy reports that.
    if (!direct(copy_module, type, epoch) || !plain_stores.check(type) ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
      return false;
    }
    PyObject* descr = type_lookup(type, s_dict);
    if (!descr || Py_TYPE(descr) != &PyGetSetDescr_Type ||
        !reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset->set) {
      return false;
    }
    dict_access_ = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
    stores_type_ = type;
    stores_epoch_ = epoch;
  }
  // Names that cannot shadow the reduction hooks, as on the direct way of
  // operator() that stores one name at a time.
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(attrs, &pos, &name, &value)) {
    if (!PyUnicode_CheckExact(name) || dunder(name)) return false;
  }
  return true;
}

Ref ShallowCopy::with_attributes(PyObject* item, PyObject* attrs, PyObject* const* names,
                                 PyObject* const* values, int n) {
  // y.__dict__.update(state), then each store: a name already there keeps
  // its place and takes the new value. The value it replaces is still held
  // by the item's dict, so releasing it runs no code.
  Ref state = Ref::steal(PyDict_New());
  if (!state) return Ref();
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(attrs, &pos, &name, &value)) {
    if (PyDict_SetItem(state.get(), name, value) < 0) return Ref();
  }
  for (int i = 0; i < n; ++i) {
    if (PyDict_SetItem(state.get(), names[i], values[i]) < 0) return Ref();
  }
  // copy.__dict__ = state, through the class's own __dict__ descriptor
  // as stores_are_direct found it (nothing can have changed it since).
  PyTypeObject* type = Py_TYPE(item);
  if (type != stores_type_ || !dict_access_) {
    PyErr_SetString(PyExc_SystemError, "direct copy without its check");
    return Ref();
  }
  Ref copy = new_instance(type);
  if (!copy || dict_access_->set(copy.get(), state.get(), dict_access_->closure) < 0) return Ref();
  return copy;
}

Ref ShallowCopy::operator()(PyObject* copy_module, PyObject* item, PyObject* attrs,
                            unsigned epoch, bool* ran_code) {
  PyTypeObject* type = Py_TYPE(item);
  bool direct = this->direct(copy_module, type, epoch);
  Ref state;
  bool plain_names = true;
  if (direct) {
    state = attrs ? Ref::borrow(attrs) : Ref::steal(PyObject_GenericGetDict(item, nullptr));
    if (!state) return Ref();
    direct = PyDict_CheckExact(state.get());
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (direct && PyDict_Next(state.get(), &pos, &name, &value)) {
      if (!PyUnicode_CheckExact(name) || dunder(name)) {
        plain_names = false;
        break;
      }
    }
    // Names in the instance dict would shadow the reduction hooks.
    if (direct && !plain_names) {
      direct = !dict_entry(state.get(), s_reduce_ex) && !dict_entry(state.get(), s_reduce) &&
               !dict_entry(state.get(), s_getstate);
    }
  }
  if (!direct) {
    *ran_code = true;
    Ref copier = ombrix::getattr(copy_module, s_copy);
    return copier ? ombrix::call(copier.get(), {item}) : Ref();
  }
  Ref copy = Ref::steal(PyBaseObject_Type.tp_new(type, machinery.empty_args, nullptr));
  if (!copy || PyDict_GET_SIZE(state.get()) == 0) return copy;
  if (plain_names && plain_stores.check(type)) {
    // copy.__dict__.update(state), one name at a time: lets the interpreter
    // keep the attributes in its compact per-class layout.
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(state.get(), &pos, &name, &value)) {
      if (PyObject_GenericSetAttr(copy.get(), name, value) < 0) return Ref();
    }
    return copy;
  }
  Ref copy_attrs = Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr));
  if (!copy_attrs || PyDict_Update(copy_attrs.get(), state.get()) < 0) return Ref();
  return copy;
}

}  // namespace zone_warden
