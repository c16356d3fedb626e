// Calling a method of a builtin type the way its method descriptor calls it,
// straight into the C function, without the generic call machinery in
// between. Fast paths that have proved the receiver is of that exact type use
// it for the handful of builtin methods they call per item.
#pragma once

#include "ombrix/ref.hpp"
#include "ombrix/state.hpp"

namespace ombrix {

class BuiltinMethod : public StateMember {
 public:
  explicit BuiltinMethod(ModuleState* owner) : StateMember(owner) {}

  // Takes `descr`, a method descriptor of `type` as found in its dict. False
  // with an exception set on failure.
  bool init(PyTypeObject* type, PyObject* descr);

  PyObject* descriptor() const { return descr_.get(); }

  // self.method() and self.method(arg), for `self` of exactly the type: new
  // references, NULL with an exception set. Any other receiver, or a calling
  // convention not handled directly, goes through the descriptor.
  Ref operator()(PyObject* self) const;
  Ref operator()(PyObject* self, PyObject* arg) const;

  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(type_.get());
    Py_VISIT(descr_.get());
    return 0;
  }
  void clear() override {
    meth_ = nullptr;
    descr_ = Ref();
    type_ = Ref();
    empty_ = Ref();
  }

 private:
  Ref type_;
  Ref descr_;
  Ref empty_;                   // () for the METH_VARARGS convention
  PyCFunction meth_ = nullptr;  // nullptr: call through the descriptor
  int convention_ = 0;          // the calling-convention bits of ml_flags
};

}  // namespace ombrix
