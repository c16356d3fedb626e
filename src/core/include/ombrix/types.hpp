// Looking at types the way attribute lookup does, and remembering verdicts
// about them while they stay unchanged. Fast paths use these to prove that
// no subclass or monkeypatch has replaced what they short-circuit.
#pragma once

#include "ombrix/ref.hpp"

namespace ombrix {

// The attribute `name` as found along type(obj).__mro__, without binding
// (what `type.__dict__[name]` gives on the class that defines it). Borrowed;
// NULL when no class defines it. Never raises.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// True when attribute access on instances of `type` is the generic one (no
// __getattribute__, __getattr__ or __setattr__ of a class of its own).
bool generic_attributes(PyTypeObject* type);

// A yes/no verdict about one type, computed once and reused while neither the
// type nor any base class is modified (CPython gives a type a new version tag
// on every change to it or its bases). `compute` must not raise.
class TypeVerdict {
 public:
  using Compute = bool (*)(PyTypeObject*);
  explicit TypeVerdict(Compute compute) : compute_(compute) {}
  bool check(PyTypeObject* type);

 private:
  Compute compute_;
  PyTypeObject* type_ = nullptr;
  unsigned int tag_ = 0;
  bool verdict_ = false;
};

}  // namespace ombrix
