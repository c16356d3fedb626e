// Plain items: objects whose attribute access and shallow copy can be done
// directly on their instance dict, with the same outcome as the interpreter's
// attribute access and `copy.copy`, and without running any Python code.
#pragma once

#include <cstdint>
#include <vector>

#include "ombrix/ref.hpp"
#include "ombrix/types.hpp"

namespace zone_warden {

// A few TypeVerdicts for the same question, so that items of two or three
// classes mixed in one frame do not keep recomputing the answer.
class Verdicts {
 public:
  explicit Verdicts(ombrix::TypeVerdict::Compute compute) : slots_(8, ombrix::TypeVerdict(compute)) {}
  bool check(PyTypeObject* type) {
    return slots_[(reinterpret_cast<std::uintptr_t>(type) >> 5) % slots_.size()].check(type);
  }

 private:
  std::vector<ombrix::TypeVerdict> slots_;
};

// True when reading `info` and `tlwh` of an instance of `type`, and setting
// its `roi_id` and `roi_name`, are plain lookups in and stores into the
// instance dict: generic attribute access, an instance dict, and no class
// attribute of those names.
bool plain_item_type(PyTypeObject* type);

// Records the copy module's and copyreg's working parts at import, so that
// replacing any of them later is noticed. `copy_module` is the `copy` module.
bool capture_copy_machinery(PyObject* copy_module);

// `copy.copy(item)`, where `copy_module` is what the module namespace binds
// to `copy`. For an instance of a plain class (no metaclass, no __slots__, no
// custom __new__, __copy__, __reduce__, __reduce_ex__, __getstate__,
// __setstate__, __getnewargs__, no copy or pickle registration) while the
// copy machinery is as imported, the copy is made directly: a new instance
// through object.__new__ that receives the item's instance attributes in
// order, which is what `copy.copy` does for such an object. Otherwise
// `copy_module.copy` is called, and *ran_code is set.
class ShallowCopy {
 public:
  // `attrs` is the item's instance dict when the caller has it, else NULL.
  // `epoch` changes whenever Python code may have run since the last call.
  ombrix::Ref operator()(PyObject* copy_module, PyObject* item, PyObject* attrs, unsigned epoch,
                         bool* ran_code);

 private:
  bool machinery_intact(unsigned epoch);
  bool unregistered(PyTypeObject* type, unsigned epoch);
  unsigned checked_epoch_ = 0;
  bool checked_ = false;
  bool intact_ = false;
  PyTypeObject* unregistered_type_ = nullptr;  // not in copy's or copyreg's tables
  unsigned unregistered_epoch_ = 0;
};

}  // namespace zone_warden
