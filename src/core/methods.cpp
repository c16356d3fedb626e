#include "ombrix/methods.hpp"

namespace ombrix {

namespace {

constexpr int kConventionBits =
    METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL
#ifdef METH_METHOD
    | METH_METHOD
#endif
    ;

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using KeywordsFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

}  // namespace

bool BuiltinMethod::init(PyTypeObject* type, PyObject* descr) {
  empty_ = Ref::steal(PyTuple_New(0));
  if (!empty_) return false;
  type_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
  descr_ = Ref::borrow(descr);
  meth_ = nullptr;
  if (Py_TYPE(descr) != &PyMethodDescr_Type) return true;
  auto* method = reinterpret_cast<PyMethodDescrObject*>(descr);
  if (method->d_common.d_type != type || !method->d_method || !method->d_method->ml_meth) {
    return true;
  }
  convention_ = method->d_method->ml_flags & kConventionBits;
  switch (convention_) {
    case METH_NOARGS:
    case METH_O:
    case METH_VARARGS | METH_KEYWORDS:
    case METH_FASTCALL:
    case METH_FASTCALL | METH_KEYWORDS:
      meth_ = method->d_method->ml_meth;
      break;
    default:
      break;
  }
  return true;
}

Ref BuiltinMethod::operator()(PyObject* self) const {
  if (meth_ && Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type_.get())) {
    switch (convention_) {
      case METH_NOARGS:
        return Ref::steal(meth_(self, nullptr));
      case METH_VARARGS | METH_KEYWORDS:
        return Ref::steal(reinterpret_cast<KeywordsFunction>(reinterpret_cast<void (*)()>(meth_))(
            self, empty_.get(), nullptr));
      case METH_FASTCALL:
        return Ref::steal(
            reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(meth_))(self, nullptr, 0));
      case METH_FASTCALL | METH_KEYWORDS:
        return Ref::steal(reinterpret_cast<FastKeywordsFunction>(
            reinterpret_cast<void (*)()>(meth_))(self, nullptr, 0, nullptr));
      default:
        break;
    }
  }
  return call(descr_.get(), {self});
}

Ref BuiltinMethod::operator()(PyObject* self, PyObject* arg) const {
  if (meth_ && Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type_.get())) {
    switch (convention_) {
      case METH_O:
        return Ref::steal(meth_(self, arg));
      case METH_FASTCALL:
        return Ref::steal(
            reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(meth_))(self, &arg, 1));
      case METH_FASTCALL | METH_KEYWORDS:
        return Ref::steal(reinterpret_cast<FastKeywordsFunction>(
            reinterpret_cast<void (*)()>(meth_))(self, &arg, 1, nullptr));
      default:
        break;
    }
  }
  return call(descr_.get(), {self, arg});
}

}  // namespace ombrix
