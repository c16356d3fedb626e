#include "plain.hpp"

#include "ombrix/types.hpp"

#include <descrobject.h>

#include <cstring>

namespace zone_warden {

using ombrix::Ref;
using ombrix::type_lookup;

bool str_keys_only(PyObject* d, bool split_tables_plain) {
  // A split table (an instance dict sharing its class's keys) holds exact
  // str keys only: the interpreter makes it a combined one before storing
  // any other key (split_tables_hold_str_keys checks that it does).
  if (split_tables_plain && reinterpret_cast<PyDictObject*>(d)->ma_values) return true;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(d, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

bool split_tables_hold_str_keys() {
  // An instance of a class of our own, whose dict is a split table once it
  // has an attribute, and a key that is not a str stored in that dict.
  Ref name = Ref::steal(PyUnicode_FromString("_split_table_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref ns = Ref::steal(PyDict_New());
  Ref attribute = Ref::steal(PyUnicode_InternFromString("a"));
  Ref odd = Ref::steal(PyLong_FromLong(1));
  if (!name || !bases || !ns || !attribute || !odd) return false;
  Ref cls = ombrix::call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
  Ref obj = cls ? ombrix::call(cls.get(), {}) : Ref();
  if (!obj || PyObject_SetAttr(obj.get(), attribute.get(), Py_None) < 0) return false;
  Ref d = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
  if (!d || !reinterpret_cast<PyDictObject*>(d.get())->ma_values) return false;
  if (PyDict_SetItem(d.get(), odd.get(), Py_None) < 0) return false;
  return !reinterpret_cast<PyDictObject*>(d.get())->ma_values;
}

bool mro_keys_are_plain(PyTypeObject* type) {
  // Owned: the tuple is only read, but it is the class's to replace.
  const Ref mro = Ref::borrow(type->tp_mro);
  if (!mro || !PyTuple_CheckExact(mro.get())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;  // changed only from C
    if (!base->tp_dict || !str_keys_only(base->tp_dict, false)) return false;
  }
  return true;
}

namespace {

// Whether `dict` has the key `name`, for dicts whose lookups of it run no
// code (keys of exact str, or compared by identity), so that only a failed
// allocation could make the lookup fail. That counts as present: the caller
// takes the general way, where the interpreter meets the shortage itself.
bool has_entry(PyObject* dict, PyObject* name) {
  Ref value;
  if (!ombrix::dict_lookup(dict, name, &value)) {
    ombrix::clear_expected(PyExc_MemoryError);
    return true;
  }
  return static_cast<bool>(value);
}

bool dunder(PyObject* name) {
  return PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
         PyUnicode_READ_CHAR(name, 1) == '_';
}

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
  // Iterating a set runs no code; only making the iterator can fail, for
  // memory.
  Ref it = Ref::steal(PyObject_GetIter(table));
  if (!it) {
    ombrix::clear_expected(PyExc_MemoryError);
    return false;
  }
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    if (!quiet(key.get())) return false;
  }
  return true;
}

// module.name as its namespace holds it; empty when absent, or when the
// lookup raised an Exception (a key's __eq__, at import; the caller then
// takes the general way, and Python's own lookups meet the key themselves).
// Anything else is left pending for the caller to fail with. After import
// it is used on namespaces whose keys were found to be exact str only.
Ref entry_of(PyObject* module, PyObject* name) {
  Ref value;
  if (!ombrix::dict_lookup(PyModule_GetDict(module), name, &value)) ombrix::clear_expected();
  return value;
}

#if PY_VERSION_HEX >= 0x030E0000
bool exact_set(PyObject* o) { return o && (PySet_CheckExact(o) || PyFrozenSet_CheckExact(o)); }

// `cls in s` for a set `s` of classes whose lookups are quiet; true also when
// that cannot be told.
bool in_set(PyObject* s, PyObject* cls) {
  int found = PySet_Contains(s, cls);
  if (found < 0) ombrix::clear_expected(PyExc_MemoryError);
  return found != 0;
}
#endif

// object.__new__(type) for a class of plain copies, whose instance dict is
// set right after. Up to 3.11, object.__new__ is tp_alloc after a check for
// abstract methods, followed on 3.11 by setting up an empty instance dict
// (its values array), which setting the dict would turn into a dict object
// only to throw it away: tp_alloc alone is taken there. From 3.12 on the
// instance layout belongs to object.__new__ and tp_alloc together, so
// object.__new__ itself is called.
Ref new_instance(const State& st, PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
  if (type->tp_alloc) {
    return Ref::steal(type->tp_alloc(type, 0));
  }
#endif
  return Ref::steal(PyBaseObject_Type.tp_new(type, st.empty_args.get(), nullptr));
}

}  // namespace

bool item_type_is_plain(const State& st, PyTypeObject* type) {
  return ombrix::generic_attributes(type) && type->tp_dictoffset != 0 &&
         mro_keys_are_plain(type) && !type_lookup(type, st.info) && !type_lookup(type, st.tlwh) &&
         !type_lookup(type, st.roi_id) && !type_lookup(type, st.roi_name);
}

// A class whose instances `copy.copy` copies through object.__reduce_ex__(4)
// and copyreg.__newobj__: a new instance by object.__new__, then its dict
// updated from the original's dict, and nothing else.
bool copy_type_is_plain(const State& st, PyTypeObject* type) {
  if (Py_TYPE(type) != &PyType_Type || !ombrix::generic_attributes(type) ||
      type->tp_itemsize != 0 || type->tp_dictoffset == 0 ||
      type->tp_new != PyBaseObject_Type.tp_new || !mro_keys_are_plain(type)) {
    return false;
  }
  const Ref mro = Ref::borrow(type->tp_mro);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (base == &PyBaseObject_Type) continue;
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE) || !base->tp_dict ||
        has_entry(base->tp_dict, st.slots)) {
      return false;
    }
  }
  for (PyObject* name : {st.new_.get(), st.reduce_ex.get(), st.reduce.get(), st.class_.get(),
                         st.getstate.get()}) {
    if (type_lookup(type, name).get() != type_lookup(&PyBaseObject_Type, name).get()) return false;
  }
  for (PyObject* name :
       {st.copy_hook.get(), st.setstate.get(), st.getnewargs_ex.get(), st.getnewargs.get()}) {
    if (type_lookup(type, name)) return false;
  }
  // The __dict__ getset of a class of the MRO (all heap types, so the
  // interpreter's own), not one of another type's bound in a class body:
  // copy.copy reads the state through it, and another type's refuses the
  // instance.
  Ref dict_descr = type_lookup(type, st.dict);
  if (!dict_descr || Py_TYPE(dict_descr.get()) != &PyGetSetDescr_Type ||
      !PyType_IsSubtype(type, PyDescr_TYPE(dict_descr.get()))) {
    return false;
  }
  // copyreg caches a class's slot names in the class on its first copy;
  // until then the first copy goes through copy.copy, which stores them.
  Ref slotnames;
  if (!ombrix::dict_lookup(type->tp_dict, st.slotnames, &slotnames)) {
    ombrix::clear_expected(PyExc_MemoryError);  // exact str keys: only memory
    return false;
  }
  return slotnames && PyList_CheckExact(slotnames.get()) && PyList_GET_SIZE(slotnames.get()) == 0;
}

// Storing an attribute on an instance of a plain class through the generic
// setattr is a store into its instance dict, as long as no class in its MRO
// (object aside) has a data descriptor other than the class's own __dict__
// and __weakref__, and the name is not one of object's data descriptors
// (names with two leading underscores are left out altogether).
bool stores_are_plain(const State& st, PyTypeObject* type) {
  if (!copy_type_is_plain(st, type)) return false;
  const Ref mro = Ref::borrow(type->tp_mro);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (base == &PyBaseObject_Type) continue;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(base->tp_dict, &pos, &name, &value)) {
      // Borrowed: only looked at, and nothing is called in between.
      if (!Py_TYPE(value)->tp_descr_set) continue;
      if (PyUnicode_Compare(name, st.dict) != 0 && PyUnicode_Compare(name, st.weakref) != 0) {
        return false;
      }
    }
  }
  return true;
}

bool capture_copy_machinery(State& st, PyObject* copy_module) {
  st.copy_ready = false;
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg && !ombrix::clear_expected(PyExc_ImportError)) return false;
  if (!copyreg || !PyModule_Check(copy_module)) return true;  // the general path copies
  if (!st.empty_args.set(Ref::steal(PyTuple_New(0)))) return false;
  st.copy_module.set(Ref::borrow(copy_module));
  st.copyreg.set(copyreg);
  st.copy_function.set(entry_of(copy_module, st.copy));
#if PY_VERSION_HEX >= 0x030E0000
  st.copy_atomic.set(entry_of(copy_module, st.atomic_types));
  st.copy_containers.set(entry_of(copy_module, st.builtin_containers));
  const bool classes_known = exact_set(st.copy_atomic.get()) && exact_set(st.copy_containers.get());
#else
  st.copy_dispatch_dict.set(entry_of(copy_module, st.copy_dispatch));
  const bool classes_known = st.copy_dispatch_dict && PyDict_CheckExact(st.copy_dispatch_dict.get());
#endif
  st.copy_dispatch_table.set(entry_of(copy_module, st.dispatch_table));
  st.copy_reconstruct.set(entry_of(copy_module, st.reconstruct));
  st.copyreg_newobj.set(entry_of(copyreg.get(), st.newobj));
  // copy.copy and the helpers it ends in must be the functions those
  // modules define, not something put in their place before this import
  // (one put there later is noticed by identity, machinery_intact).
  PyObject* copy_dict = PyModule_GetDict(copy_module);
  st.copy_ready = ombrix::library_function(st.copy_function.get(), copy_dict, "copy") &&
                  classes_known && st.copy_dispatch_table &&
                  PyDict_CheckExact(st.copy_dispatch_table.get()) &&
                  ombrix::library_function(st.copy_reconstruct.get(), copy_dict, "_reconstruct") &&
                  ombrix::library_function(st.copyreg_newobj.get(),
                                           PyModule_GetDict(copyreg.get()), "__newobj__");
  return !PyErr_Occurred();
}

bool ShallowCopy::machinery_intact(unsigned epoch) {
  if (checked_ && checked_epoch_ == epoch) return intact_;
  checked_ = true;
  checked_epoch_ = epoch;
  intact_ = false;
  if (!st_.copy_ready || Py_TYPE(st_.copy_module.get()) != &PyModule_Type ||
      Py_TYPE(st_.copyreg.get()) != &PyModule_Type) {
    return false;
  }
  // copy.copy reads the copy module's namespace and the builtins, and
  // object.__reduce_ex__ copyreg's: the direct copy, which reads none of
  // them, stands for it only while reading them runs no code.
  PyObject* copy_dict = PyModule_GetDict(st_.copy_module.get());
  PyObject* copyreg_dict = PyModule_GetDict(st_.copyreg.get());
  if (!lookups_run_no_code(st_.copy_keys, copy_dict) ||
      !lookups_run_no_code(st_.copyreg_keys, copyreg_dict) ||
      !lookups_run_no_code(st_.builtins_keys, st_.builtins_dict.get())) {
    return false;
  }
  // From here on every lookup is of a str in a dict of str keys: no code
  // runs, and the values are compared by identity only.
  auto is = [](PyObject* module, PyObject* name, const ombrix::Held& expected) {
    return entry_of(module, name).get() == expected.get();
  };
  PyObject* copy = st_.copy_module.get();
#if PY_VERSION_HEX >= 0x030E0000
  const bool classes_intact = is(copy, st_.atomic_types, st_.copy_atomic) &&
                              is(copy, st_.builtin_containers, st_.copy_containers) &&
                              lookups_are_quiet(st_.copy_atomic.get()) &&
                              lookups_are_quiet(st_.copy_containers.get());
#else
  const bool classes_intact = is(copy, st_.copy_dispatch, st_.copy_dispatch_dict) &&
                              lookups_are_quiet(st_.copy_dispatch_dict.get());
#endif
  intact_ = is(copy, st_.copy, st_.copy_function) && classes_intact &&
            is(copy, st_.dispatch_table, st_.copy_dispatch_table) &&
            lookups_are_quiet(st_.copy_dispatch_table.get()) &&
            is(copy, st_.reconstruct, st_.copy_reconstruct) &&
            is(st_.copyreg.get(), st_.newobj, st_.copyreg_newobj);
  return intact_;
}

bool ShallowCopy::unregistered(PyTypeObject* type, unsigned epoch) {
  if (unregistered_type_ == type && unregistered_epoch_ == epoch) return true;
  // The tables' keys compare by identity (machinery_intact): no code runs.
  PyObject* key = reinterpret_cast<PyObject*>(type);
#if PY_VERSION_HEX >= 0x030E0000
  if (in_set(st_.copy_atomic.get(), key) || in_set(st_.copy_containers.get(), key)) return false;
#else
  if (has_entry(st_.copy_dispatch_dict.get(), key)) return false;
#endif
  if (has_entry(st_.copy_dispatch_table.get(), key)) return false;
  unregistered_type_ = type;
  unregistered_epoch_ = epoch;
  return true;
}

// copy.copy of an instance of `type` goes the way the direct copy follows.
bool ShallowCopy::direct(PyObject* copy_module, PyTypeObject* type, unsigned epoch) {
  return copy_module == st_.copy_module.get() && machinery_intact(epoch) &&
         Py_TYPE(type) == &PyType_Type && st_.plain_copies.check(st_, type) &&
         unregistered(type, epoch);
}

bool ShallowCopy::stores_are_direct(PyObject* copy_module, PyObject* item, PyObject* attrs,
                                    unsigned epoch) {
  PyTypeObject* type = Py_TYPE(item);
  if (!attrs || !PyDict_CheckExact(attrs)) return false;
  // What holds for the class holds until Python code runs.
  if (stores_type_ != type || stores_epoch_ != epoch || copy_module != st_.copy_module.get()) {
    stores_type_ = nullptr;
    // An abstract class fails in object.__new__: copy.copy reports that.
    if (!direct(copy_module, type, epoch) || !st_.plain_stores.check(st_, type) ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
      return false;
    }
    Ref descr = type_lookup(type, st_.dict);  // runs no code: the verdicts above said so
    if (!descr || Py_TYPE(descr.get()) != &PyGetSetDescr_Type ||
        !reinterpret_cast<PyGetSetDescrObject*>(descr.get())->d_getset->set) {
      return false;
    }
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
  PyTypeObject* type = Py_TYPE(item);
  // The check and this step run under one CollectorHeldOff with nothing called
  // in between, so the class is the one checked; should it not be, the
  // caller takes the general way (empty, no exception).
  if (type != stores_type_ || stores_epoch_ == 0) return Ref();
  // copy.__dict__.update(state), then each store. A name already there takes
  // the new value; the value it replaces is still held by the item's dict,
  // so releasing it runs no code. The keys are exact str and the class's
  // stores plain (stores_are_direct), so storing runs none either.
  Ref copy = new_instance(st_, type);
  if (!copy) return Ref();
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(attrs, &pos, &name, &value)) {
    // Owned for the store, which allocates.
    const Ref held_name = Ref::borrow(name), held_value = Ref::borrow(value);
    if (PyObject_GenericSetAttr(copy.get(), held_name.get(), held_value.get()) < 0) return Ref();
  }
  for (int i = 0; i < n; ++i) {
    if (PyObject_GenericSetAttr(copy.get(), names[i], values[i]) < 0) return Ref();
  }
  return copy;
}

Ref ShallowCopy::operator()(PyObject* copy_module, PyObject* item, PyObject* attrs,
                            unsigned epoch, bool* ran_code) {
  // The checks and the copy run with the collector held off: nothing runs
  // between them, and the copy calls nothing out.
  ombrix::CollectorHeldOff hold(st_);
  PyTypeObject* type = Py_TYPE(item);
  bool direct = with(kDirectCopy) && hold.held() && this->direct(copy_module, type, epoch);
  Ref state;
  bool plain_names = true;
  if (direct) {
    state = attrs ? Ref::borrow(attrs) : ombrix::instance_dict(item);
    if (!state && PyErr_Occurred()) return Ref();
    // No instance dict yet (before 3.10): copy.copy reads an empty one and
    // stores nothing.
    if (!state) return Ref::steal(PyBaseObject_Type.tp_new(type, st_.empty_args.get(), nullptr));
    direct = PyDict_CheckExact(state.get());
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (direct && PyDict_Next(state.get(), &pos, &name, &value)) {
      // A key that is not an exact str may run code when compared: such
      // an item goes through copy.copy.
      if (!PyUnicode_CheckExact(name)) {
        direct = false;
      } else if (dunder(name)) {
        plain_names = false;
      }
    }
    // Names in the instance dict would shadow the reduction hooks. (The
    // keys are exact str: looking them up runs no code.)
    if (direct && !plain_names) {
      direct = !has_entry(state.get(), st_.reduce_ex) && !has_entry(state.get(), st_.reduce) &&
               !has_entry(state.get(), st_.getstate);
    }
  }
  if (!direct) {
    hold.let_go();
    state = Ref();
    *ran_code = true;
    Ref copier = ombrix::getattr(copy_module, st_.copy);
    return copier ? ombrix::call(copier.get(), {item}) : Ref();
  }
  Ref copy = Ref::steal(PyBaseObject_Type.tp_new(type, st_.empty_args.get(), nullptr));
  if (!copy || PyDict_GET_SIZE(state.get()) == 0) return copy;
  if (plain_names && st_.plain_stores.check(st_, type)) {
    // copy.__dict__.update(state), one name at a time: lets the interpreter
    // keep the attributes in its compact per-class layout.
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(state.get(), &pos, &name, &value)) {
      // Owned for the store, which allocates.
      const Ref held_name = Ref::borrow(name), held_value = Ref::borrow(value);
      if (PyObject_GenericSetAttr(copy.get(), held_name.get(), held_value.get()) < 0) return Ref();
    }
    return copy;
  }
  // The new copy is ours alone, and the collector is held off: making its
  // dict cannot run code.
  Ref copy_attrs = Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr));
  if (!copy_attrs || PyDict_Update(copy_attrs.get(), state.get()) < 0) return Ref();
  return copy;
}

}  // namespace zone_warden
