// Owning references and small call helpers built on them.
#pragma once

#include <initializer_list>
#include <utility>

#include "ombrix/compat.hpp"

namespace ombrix {

// Owns one strong reference (or none). Every new reference a module gets
// goes into a Ref, so that early returns and error paths release it.
class Ref {
 public:
  Ref() = default;
  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (a NULL result of a failed call is fine).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Lets the reference go (its release may run code, after the Ref is
  // already empty).
  void reset() {
    PyObject* p = p_;
    p_ = nullptr;
    Py_XDECREF(p);
  }
  // Hands the reference to the caller (a C API "new reference" result).
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Checked builds (OMBRIX_CHECKED: the sanitizer's and the mutation tool's)
// stop the process where the modules call into the interpreter with an
// exception pending, or return a result that disagrees with the exception
// state, as a debug build of the interpreter does: a release build would
// lose the exception or report it at some later, unrelated call.
#if OMBRIX_CHECKED
void no_pending_exception(const char* where);
void result_agrees(PyObject* result, const char* where);
#define OMBRIX_NO_PENDING_EXCEPTION() ::ombrix::no_pending_exception(__func__)
#define OMBRIX_RESULT_AGREES(result) ::ombrix::result_agrees((result), __func__)
#else
#define OMBRIX_NO_PENDING_EXCEPTION() ((void)0)
#define OMBRIX_RESULT_AGREES(result) ((void)0)
#endif

// callable(*args), through vectorcall where the interpreter has it.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
// callable(*args, **kwargs) with keyword names given in `kwnames` (a tuple of
// str matching the last len(kwnames) entries of `args`).
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames);
// obj.name(*args), with at most kMaxCallArgs arguments.
constexpr size_t kMaxCallArgs = 8;
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args);

inline Ref getattr(PyObject* obj, PyObject* name) {
  OMBRIX_NO_PENDING_EXCEPTION();
  return Ref::steal(PyObject_GetAttr(obj, name));
}
// d[key], owned: *value is the value, or empty when the key is absent. False
// with the exception set when the lookup raised (a key's __eq__ can). The
// caller keeps `d` alive; the lookup may run Python code.
bool dict_lookup(PyObject* d, PyObject* key, Ref* value);
// The same lookup as attribute access makes it in an instance dict. Before
// 3.8 attribute access drops an error that a key's __eq__ raised there and
// goes on as if the name were absent; from 3.8 on it is dict_lookup.
bool instance_dict_lookup(PyObject* d, PyObject* name, Ref* value);

// Clears the pending error when it is one the caller expects: an instance of
// `type` (by default Exception, what `except Exception` catches) and says so.
// Anything else (KeyboardInterrupt or SystemExit from a signal handler,
// GeneratorExit) stays pending and the result is false: the caller fails
// with it. The one place module code lets an error go.
bool clear_expected(PyObject* type = PyExc_Exception);

inline Ref new_ref(PyObject* obj) { return Ref::borrow(obj); }
inline Ref none() { return Ref::borrow(Py_None); }

// The truth value of obj: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) {
  OMBRIX_NO_PENDING_EXCEPTION();
  return PyObject_IsTrue(obj);
}

}  // namespace ombrix
