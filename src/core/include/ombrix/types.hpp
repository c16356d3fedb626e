// Looking at types the way attribute lookup does, and remembering verdicts
// about them while they stay unchanged. Fast paths use these to prove that
// no subclass or monkeypatch has replaced what they short-circuit.
#pragma once

#include <cstdint>

#include "ombrix/ref.hpp"

namespace ombrix {

// The attribute `name` as found along type(obj).__mro__, without binding
// (what `type.__dict__[name]` gives on the class that defines it). Borrowed;
// NULL when no class defines it. Never raises.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// True when attribute access on instances of `type` is the generic one (no
// __getattribute__, __getattr__ or __setattr__ of a class of its own).
bool generic_attributes(PyTypeObject* type);

// True when dropping one reference to `o` cannot run Python code: another
// reference keeps it alive, or it is an exact int, float, str or bytes, whose
// deallocation only frees memory. The caller holds the interpreter lock, so
// no other thread can drop the other reference meanwhile.
inline bool release_runs_no_code(PyObject* o) {
  return Py_REFCNT(o) > 1 || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
         PyUnicode_CheckExact(o) || PyBytes_CheckExact(o);
}

// Sets up what TypeVerdict needs to notice changes to types. Call once from
// the module's initialisation; false with an exception set on failure. Until
// it has succeeded, verdicts are computed afresh on every check.
bool init_type_verdicts();

// A yes/no verdict about one type, computed once and reused while neither the
// type nor any base class is modified. `compute` must neither raise nor run
// Python code.
//
// From 3.12 on, a type watcher forgets the verdict when the type (or, through
// it, a base class) is modified. Before 3.12, the verdict is kept with the
// type's version tag, which the interpreter takes away on every change to the
// type or its bases; since clearing the type cache can restart the tag
// counter (so a changed class may get its old tag back), every verdict also
// records the cache generation, which a private probe class tells.
class TypeVerdict {
 public:
  using Compute = bool (*)(PyTypeObject*);
  explicit TypeVerdict(Compute compute);
  TypeVerdict(const TypeVerdict& other);
  TypeVerdict& operator=(const TypeVerdict&) = delete;
  ~TypeVerdict();
  bool check(PyTypeObject* type);
  // Drops the verdict if it is about `type`.
  void forget(PyTypeObject* type) {
    if (type_ == type) type_ = nullptr;
  }
  TypeVerdict* next() const { return next_; }

 private:
  Compute compute_;
  PyTypeObject* type_ = nullptr;
  unsigned int tag_ = 0;
#if PY_VERSION_HEX < 0x030C0000
  std::uint64_t generation_ = 0;  // cache generation the verdict was made in
#endif
  bool verdict_ = false;
  TypeVerdict* next_ = nullptr;  // every verdict of this extension module
  TypeVerdict* prev_ = nullptr;
};

}  // namespace ombrix
