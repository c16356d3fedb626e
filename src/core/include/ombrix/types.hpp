// Looking at types the way attribute lookup does, and remembering verdicts
// about them while they stay unchanged. Fast paths use these to prove that
// no subclass or monkeypatch has replaced what they short-circuit.
#pragma once

#include "ombrix/ref.hpp"

namespace ombrix {

class ModuleState;

// The attribute `name` as found along type(obj).__mro__, without binding
// (what `type.__dict__[name]` gives on the class that defines it), owned;
// empty when no class defines it. Never raises. As in the interpreter's own
// lookup, a class dict's key may run code while it is compared.
Ref type_lookup(PyTypeObject* type, PyObject* name);

// True when attribute access on instances of `type` is the generic one (no
// __getattribute__, __getattr__ or __setattr__ of a class of its own).
bool generic_attributes(PyTypeObject* type);

// The instance dict of `obj`, owned, as `obj.__dict__` gives it to the
// generic attribute access; empty without an exception when the object has
// no dict (or, before 3.10, has none yet): then its attributes are read the
// plain way. Empty with an exception when making it failed.
// From 3.10 on the dict may have to be made (from 3.11 on from the inline
// attribute values); before 3.12 that allocation could run the collector,
// whose finalizers could reach this very object and make its dict a second
// time over the same values, so the collector is held off for it.
// Materialising the dict runs no Python code then, and Python cannot tell.
Ref instance_dict(PyObject* obj);

// True when `f` is the function that the module whose namespace is
// `module_dict` defines as `qualname` ("Queue._qsize"): an exact function
// object made by that module's code (its globals are that namespace), whose
// qualified name and code name are those the library gives it. A wrapper or
// replacement installed by anyone else, before or after this module was
// imported, is not.
bool library_function(PyObject* f, PyObject* module_dict, const char* qualname);

// True when `t` is a type of the interpreter or an extension whose
// attributes cannot be set (not a class made by Python code): its methods
// cannot be replaced, so calling them directly is what attribute access
// would call.
inline bool static_type(PyObject* t) {
  if (!t || !PyType_Check(t)) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(t);
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return true;
#endif
  return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
}

// True when dropping one reference to `o` cannot run Python code: another
// reference keeps it alive, or it is an exact int, float, str or bytes, whose
// deallocation only frees memory. The caller holds the interpreter lock, so
// no other thread can drop the other reference meanwhile.
inline bool freeing_runs_no_code(PyObject* o) {
  return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyUnicode_CheckExact(o) ||
         PyBytes_CheckExact(o);
}
inline bool release_runs_no_code(PyObject* o) { return Py_REFCNT(o) > 1 || freeing_runs_no_code(o); }

// A yes/no verdict about one type, computed once and reused while neither the
// type nor any base class is modified, as the interpreter's own attribute
// cache is: by the type's version tag, which the interpreter takes away from
// a type and all its subclasses on every change.
//
// From 3.12 on a tag is never handed out twice in an interpreter, so the type
// and its tag identify the verdict. Before 3.12 clearing the type cache makes
// the interpreter hand tags out again from the start; the module state's
// probe class, whose tag goes with every other, tells when that happened.
//
// The type is only compared, never dereferenced: while its tag is the one
// recorded, it is the type the verdict was made about. `compute` may run
// Python code (a class dict's key is compared during lookups); a verdict that
// the type changed under is not kept, and counts as "no".
class TypeVerdictBase {
 protected:
  // Whether the verdict kept is about `type` as it is now.
  bool holds(ModuleState& state, PyTypeObject* type) const;
  // What a verdict computed now may be kept under (a tag of 0: nothing).
  struct Stamp {
    unsigned int tag;
    unsigned long long generation;
  };
  Stamp begin(ModuleState& state, PyTypeObject* type);
  // Keeps `verdict` when the type is still as stamped; returns it, or "no"
  // when the type changed while it was computed.
  bool end(ModuleState& state, PyTypeObject* type, Stamp stamp, bool verdict);

  PyTypeObject* type_ = nullptr;  // identity only
  unsigned int tag_ = 0;
#if PY_VERSION_HEX < 0x030C0000
  unsigned long long generation_ = 0;  // the tag generation it was made in
#endif
  bool verdict_ = false;
};

template <class S>
class TypeVerdict : private TypeVerdictBase {
 public:
  using Compute = bool (*)(const S& state, PyTypeObject* type);
  explicit TypeVerdict(Compute compute) : compute_(compute) {}

  bool check(S& state, PyTypeObject* type) {
    if (holds(state, type)) return verdict_;
    const Stamp stamp = begin(state, type);
    return end(state, type, stamp, compute_(state, type));
  }

 private:
  Compute compute_;
};

namespace detail {
// Makes the state's tag probe (before 3.12); false with an exception set.
bool init_tag_probe(ModuleState& state);
}  // namespace detail

}  // namespace ombrix
