#include "ombrix/module.hpp"

#include "ombrix/types.hpp"

#include <cstring>

namespace ombrix {

StateMember::StateMember(ModuleState* owner) : next_(owner->members_) { owner->members_ = this; }

Name::Name(ModuleState* owner, const char* text) : StateMember(owner), text_(text) {}

bool Name::prepare() {
  obj_ = Ref::steal(PyUnicode_InternFromString(text_));
  if (!obj_) return false;
  hash_ = PyObject_Hash(obj_.get());
  return hash_ != -1;
}

bool ModuleState::setup(PyObject* module) {
  module_ = module;  // the module owns this state: never a cycle of its own
  for (StateMember* m = members_; m; m = m->next_) {
    if (!m->prepare()) return false;
  }
  if (!function_type.set(detail::make_function_type(module))) return false;
  // threading.Lock's type and its methods, for `with` on a plain lock.
  Ref thread = import_module("_thread");
  Ref lock = thread ? Ref::steal(PyObject_CallMethod(thread.get(), "allocate_lock", nullptr)) : Ref();
  if (!lock) return false;
  auto* type = Py_TYPE(lock.get());
  // Only the interpreter's own lock type, whose methods nothing can replace,
  // is entered directly; a lock class that replaced allocate_lock before
  // this import (a green-thread library's) is entered as `with` enters it.
  if (!static_type(reinterpret_cast<PyObject*>(type))) {
    return capture_collector_switches() && detail::init_tag_probe(*this);
  }
  Ref acquire_descr = type_lookup(type, acquire);
  Ref release_descr = type_lookup(type, release);
  if (!acquire_descr || !release_descr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "unexpected threading.Lock layout");
    return false;
  }
  if (!lock_type.set(Ref::borrow(reinterpret_cast<PyObject*>(type))) ||
      !lock_acquire.init(type, acquire_descr.get()) ||
      !lock_release.init(type, release_descr.get())) {
    return false;
  }
  return capture_collector_switches() && detail::init_tag_probe(*this);
}

bool ModuleState::capture_collector_switches() {
#if PY_VERSION_HEX < 0x030A0000
  Ref gc = import_module("gc");
  if (!gc) return false;
  // Only the module's own C functions (bound to the module itself) are
  // called directly; whatever else stands there leaves the collector alone.
  Held* switches[] = {&gc_isenabled, &gc_disable, &gc_enable};
  const char* names[] = {"isenabled", "disable", "enable"};
  for (int i = 0; i < 3; ++i) {
    Ref f = Ref::steal(PyObject_GetAttrString(gc.get(), names[i]));
    if (!f && !clear_expected(PyExc_AttributeError)) return false;
    if (!f || !PyCFunction_Check(f.get()) || PyCFunction_GET_SELF(f.get()) != gc.get() ||
        PyCFunction_GET_FLAGS(f.get()) != METH_NOARGS ||
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(f.get())->m_ml->ml_name, names[i]) != 0) {
      for (Held* h : switches) h->set(Ref());
      return true;
    }
    switches[i]->set(f);
  }
#endif
  return true;
}

#if PY_VERSION_HEX < 0x030A0000
namespace {
// f(), f being one of the gc module's METH_NOARGS C functions: a new
// reference to True, False or None, whose release runs no code.
bool call_switch(const Held& f) {
  PyObject* r = PyCFunction_GET_FUNCTION(f.get())(PyCFunction_GET_SELF(f.get()), nullptr);
  const bool yes = r == Py_True;
  Py_XDECREF(r);
  return yes;
}
}  // namespace
#endif

CollectorHeldOff::CollectorHeldOff(const ModuleState& state)
#if PY_VERSION_HEX < 0x030A0000
    : state_(state) {
  held_ = static_cast<bool>(state.gc_disable);
  if (held_) {
    was_enabled_ = call_switch(state.gc_isenabled);
    if (was_enabled_) call_switch(state.gc_disable);
  }
}
#elif PY_VERSION_HEX < 0x030C0000
{
  (void)state;
  was_enabled_ = PyGC_Disable() != 0;
}
#else
{
  (void)state;
}
#endif

void CollectorHeldOff::let_go() {
#if PY_VERSION_HEX < 0x030A0000
  if (held_ && was_enabled_) call_switch(state_.gc_enable);
#elif PY_VERSION_HEX < 0x030C0000
  if (held_ && was_enabled_) PyGC_Enable();
#endif
  held_ = false;
}

int ModuleState::traverse(visitproc visit, void* arg) {
  for (StateMember* m = members_; m; m = m->next_) {
    if (int r = m->traverse(visit, arg)) return r;
  }
  return 0;
}

void ModuleState::clear() {
  ready_ = false;
  for (StateMember* m = members_; m; m = m->next_) m->clear();
}

Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
  Ref mod = import_module(module);
  if (!mod) return Ref();
  Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // The ImportError of `from module import name`: its text, name and path.
    PyErr_Clear();
    Ref path = Ref::steal(PyModule_GetFilenameObject(mod.get()));
    if (!path) PyErr_Clear();
    Ref text = path ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)",
                                                      name, module, path.get()))
                    : Ref::steal(PyUnicode_FromFormat(
                          "cannot import name '%s' from '%s' (unknown location)", name, module));
    Ref module_name = text ? Ref::steal(PyUnicode_FromString(module)) : Ref();
    if (module_name) PyErr_SetImportError(text.get(), module_name.get(), path.get());
  }
  return value;
}

void explain_isolation_refusal(const char* module_name, const char* reason) {
#if PY_VERSION_HEX >= 0x030C0000
  if (PyInterpreterState_Get() == PyInterpreterState_Main() ||
      !PyErr_ExceptionMatches(PyExc_ImportError)) {
    return;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Ref original_type = Ref::steal(type), original = Ref::steal(value), tb = Ref::steal(traceback);
  bool refused = false;
  // The cause, or the context, of each: at most a few links.
  Ref link = original;
  for (int depth = 0; link && depth < 8 && !refused; ++depth) {
    if (PyErr_GivenExceptionMatches(link.get(), PyExc_ImportError)) {
      Ref text = Ref::steal(PyObject_Str(link.get()));
      if (!text) PyErr_Clear();
      Ref marker = Ref::steal(PyUnicode_FromString("does not support loading in subinterpreters"));
      if (!marker) PyErr_Clear();
      refused = text && marker && PyUnicode_Contains(text.get(), marker.get()) == 1;
      PyErr_Clear();
    }
    Ref next = Ref::steal(PyException_GetCause(link.get()));
    if (!next) next = Ref::steal(PyException_GetContext(link.get()));
    link = next;
  }
  if (!refused) {
    PyErr_Restore(original_type.release(), original.release(), tb.release());
    return;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat(
      "%s cannot be imported in an isolated sub-interpreter: %s", module_name, reason));
  Ref error = message ? call(PyExc_ImportError, {message.get()}) : Ref();
  if (!error) return;
  PyException_SetCause(error.get(), original.release());  // raise ... from original
  PyErr_SetObject(PyExc_ImportError, error.get());
#else
  (void)module_name;
  (void)reason;
#endif
}

bool bind(PyObject* module, const char* name, Ref value) {
  if (!value) return false;
  return PyModule_AddObject(module, name, value.get()) == 0 ? (value.release(), true) : false;
}

Ref make_class(PyObject* module, const char* name, PyObject* bases, const char* doc,
               std::initializer_list<std::pair<const char*, Ref>> members) {
  // The members are made by the caller, each once the one before it was.
  OMBRIX_NO_PENDING_EXCEPTION();
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return Ref();
  Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  Ref qualname = module_name ? Ref::steal(PyUnicode_FromString(name)) : Ref();
  if (!qualname) return Ref();
  if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) {
    return Ref();
  }
  if (doc) {
    Ref text = Ref::steal(PyUnicode_FromString(doc));
    if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return Ref();
  }
  for (const auto& m : members) {
    if (!m.second || PyDict_SetItemString(ns.get(), m.first, m.second.get()) < 0) return Ref();
  }
  Ref type_name = Ref::steal(PyUnicode_FromString(name));
  if (!type_name) return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {type_name.get(), bases, ns.get()});
}

Ref static_method(Ref fn) {
  if (!fn) return Ref();
  return Ref::steal(PyStaticMethod_New(fn.get()));
}

}  // namespace ombrix
