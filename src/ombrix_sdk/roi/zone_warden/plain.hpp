// Plain items: objects whose attribute access and shallow copy can be done
// directly on their instance dict, with the same outcome as the interpreter's
// attribute access and `copy.copy`, and without running any Python code.
#pragma once

#include "ombrix/ref.hpp"
#include "state.hpp"

namespace zone_warden {

// True when reading `info` and `tlwh` of an instance of `type`, and setting
// its `roi_id` and `roi_name`, are plain lookups in and stores into the
// instance dict: generic attribute access, an instance dict, and no class
// attribute of those names. Runs no Python code.
inline bool plain_item_type(State& st, PyTypeObject* type) {
  return Py_TYPE(type) == &PyType_Type && st.plain_items.check(st, type);
}

// Records the copy module's and copyreg's working parts at import, so that
// replacing any of them later is noticed. `copy_module` is the `copy` module.
// False with an exception set only when memory runs out; a module laid out
// otherwise leaves direct copies off.
bool capture_copy_machinery(State& st, PyObject* copy_module);

// `copy.copy(item)`, where `copy_module` is what the module namespace binds
// to `copy`. For an instance of a plain class (no metaclass, no __slots__, no
// custom __new__, __copy__, __reduce__, __reduce_ex__, __getstate__,
// __setstate__, __getnewargs__, no copy or pickle registration) while the
// copy machinery is as imported and its namespaces run no code when read,
// the copy is made directly: a new instance through object.__new__ that
// receives the item's instance attributes in order, which is what
// `copy.copy` does for such an object. Otherwise `copy_module.copy` is
// called, and *ran_code is set.
class ShallowCopy {
 public:
  explicit ShallowCopy(State& st) : st_(st) {}

  // `attrs` is the item's instance dict when the caller has it, else NULL.
  // `epoch` changes whenever Python code may have run since the last call.
  ombrix::Ref operator()(PyObject* copy_module, PyObject* item, PyObject* attrs, unsigned epoch,
                         bool* ran_code);

  // True when `copy.copy(item)` followed by a plain `setattr(copy, name,
  // value)` for names that are exact strings without two leading
  // underscores can be done by with_attributes: the copy is made directly,
  // and those stores are stores into the copy's instance dict. `attrs` is the
  // item's instance dict. Runs no Python code and never raises.
  bool stores_are_direct(PyObject* copy_module, PyObject* item, PyObject* attrs, unsigned epoch);

  // The copy and the stores, when stores_are_direct just said so (with no
  // Python code run since): the item's attributes in their order, then the
  // names, stored one at a time into the new instance, as the copy's
  // __dict__.update and the stores leave them (in the class's shared layout,
  // which decides what later lookups in dicts of the class compare). NULL
  // with an exception set on failure. Runs no Python code.
  ombrix::Ref with_attributes(PyObject* item, PyObject* attrs, PyObject* const* names,
                              PyObject* const* values, int n);

 private:
  bool direct(PyObject* copy_module, PyTypeObject* type, unsigned epoch);
  bool machinery_intact(unsigned epoch);
  bool unregistered(PyTypeObject* type, unsigned epoch);

  State& st_;
  unsigned checked_epoch_ = 0;
  bool checked_ = false;
  bool intact_ = false;
  // Classes are compared by identity only, and only within an epoch: while
  // no Python code runs, no class can go away.
  PyTypeObject* unregistered_type_ = nullptr;  // not in copy's or copyreg's tables
  unsigned unregistered_epoch_ = 0;
  PyTypeObject* stores_type_ = nullptr;  // stores_are_direct's class, as last found
  unsigned stores_epoch_ = 0;
};

}  // namespace zone_warden
