#include "ombrix/lock.hpp"

#include "ombrix/methods.hpp"
#include "ombrix/module.hpp"
#include "ombrix/types.hpp"

namespace ombrix {

namespace {

// type(obj).name bound to obj, as the `with` statement looks it up; `is_exit`
// picks the interpreter's message for a missing __exit__.
Ref lookup_special(const ModuleState& state, PyObject* obj, PyObject* name, bool is_exit) {
  PyTypeObject* type = Py_TYPE(obj);
  // Owned: its __get__ may run code that drops it from the class.
  Ref descr = type_lookup(type, name);
  if (!descr) {
#if PY_VERSION_HEX >= 0x030E0000
    // A type with the asynchronous protocol gets a hint.
    auto has_method = [type](PyObject* method) {
      Ref d = type_lookup(type, method);
      return d && Py_TYPE(d.get())->tp_descr_get;
    };
    const bool hint = has_method(state.aenter) && has_method(state.aexit);
    if (is_exit) {
      PyErr_Format(PyExc_TypeError,
                   hint ? "'%T' object does not support the context manager protocol (missed "
                          "__exit__ method) but it supports the asynchronous context manager "
                          "protocol. Did you mean to use 'async with'?"
                        : "'%T' object does not support the context manager protocol (missed "
                          "__exit__ method)",
                   obj);
    } else {
      PyErr_Format(PyExc_TypeError,
                   hint ? "'%T' object does not support the context manager protocol (missed "
                          "__enter__ method) but it supports the asynchronous context manager "
                          "protocol. Did you mean to use 'async with'?"
                        : "'%T' object does not support the context manager protocol (missed "
                          "__enter__ method)",
                   obj);
    }
#elif PY_VERSION_HEX >= 0x030B0000
    (void)state;
    PyErr_Format(PyExc_TypeError,
                 is_exit ? "'%.200s' object does not support the context manager protocol "
                           "(missed __exit__ method)"
                         : "'%.200s' object does not support the context manager protocol",
                 type->tp_name);
#else
    (void)state;
    (void)is_exit;
    PyErr_SetObject(PyExc_AttributeError, name);
#endif
    return Ref();
  }
  descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
  if (!get) return descr;
  return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject*>(type)));
}

}  // namespace

WithLock::WithLock(const ModuleState& state, PyObject* lock)
    : state_(state), lock_(Ref::borrow(lock)) {
  // (-DOMBRIX_WITHOUT=8 leaves this shortcut out, to measure what it gains.)
  if ((OMBRIX_WITHOUT & 8) == 0 && Py_TYPE(lock) == state.lock_type.type()) {
    plain_ = true;
    entered_ = static_cast<bool>(state.lock_acquire(lock));
    return;
  }
  // The interpreter's order: up to 3.13 __enter__ is looked up first, then
  // __exit__; from 3.14 on __exit__ first. Then __enter__ is called.
#if PY_VERSION_HEX >= 0x030E0000
  exit_ = lookup_special(state, lock, state.exit, true);
  Ref enter = exit_ ? lookup_special(state, lock, state.enter, false) : Ref();
  if (!enter) return;
#else
  Ref enter = lookup_special(state, lock, state.enter, false);
  if (!enter) return;
  exit_ = lookup_special(state, lock, state.exit, true);
  if (!exit_) return;
#endif
  entered_ = static_cast<bool>(call(enter.get(), {}));
}

bool WithLock::exit_ok() {
  entered_ = false;
  if (plain_) return static_cast<bool>(state_.lock_release(lock_.get()));
  return static_cast<bool>(call(exit_.get(), {Py_None, Py_None, Py_None}));
}

void WithLock::exit_with_exception(bool* suppressed) {
  entered_ = false;
  *suppressed = false;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), traceback = Ref::steal(tb);
  if (plain_) {
    Ref released = state_.lock_release(lock_.get());
    if (!released) PyErr_Clear();  // the block's own exception wins
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return;
  }
  auto or_none = [](const Ref& r) { return r ? r.get() : Py_None; };
  Ref verdict = call(exit_.get(), {or_none(type), or_none(value), or_none(traceback)});
  int swallow = verdict ? PyObject_IsTrue(verdict.get()) : -1;
  if (swallow > 0) {
    *suppressed = true;
    return;
  }
  if (swallow < 0) {
    // The exit raised: its exception replaces the block's, chained to it.
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2 && value) PyException_SetContext(v2, value.release());  // steals
    PyErr_Restore(t2, v2, tb2);
    return;
  }
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

PyObject* WithLock::leave(PyObject* result) {
  Ref outcome = Ref::steal(result);
  if (!entered_) return outcome.release();
  if (outcome) return exit_ok() ? outcome.release() : nullptr;
  bool suppressed = false;
  exit_with_exception(&suppressed);
  if (suppressed) Py_RETURN_NONE;
  return nullptr;
}
WithLock::~WithLock() {
  if (!entered_) return;
  if (PyErr_Occurred()) {
    bool suppressed = false;
    exit_with_exception(&suppressed);
    return;
  }
  if (!exit_ok()) PyErr_WriteUnraisable(lock_.get());
}

}  // namespace ombrix
