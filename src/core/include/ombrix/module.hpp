// A module's state and its multi-phase definition; building its namespace:
// imports, classes, bindings in order.
#pragma once

#include <initializer_list>
#include <new>
#include <utility>

#include "ombrix/function.hpp"
#include "ombrix/methods.hpp"
#include "ombrix/ref.hpp"
#include "ombrix/state.hpp"

namespace ombrix {

// What every module's state holds: the native function type, the names the
// shared layer looks up, what it knows of threading.Lock, and what it needs
// to keep verdicts about types. A module's own state derives from it.
class ModuleState {
  // First: the members below register here as they are constructed.
  StateMember* members_ = nullptr;
  PyObject* module_ = nullptr;
  bool ready_ = false;

 public:
  ModuleState() = default;
  virtual ~ModuleState() = default;
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  // Between a successful execution of the module and its clearing.
  bool ready() const { return ready_; }
  // The module object this state belongs to (the module owns the state).
  PyObject* module() const { return module_; }

  Name enter{this, "__enter__"}, exit{this, "__exit__"}, aenter{this, "__aenter__"},
      aexit{this, "__aexit__"}, acquire{this, "acquire"}, release{this, "release"},
      probe_name{this, "__ombrix_probe__"};
  Held function_type{this};  // the module's native function type
  Held lock_type{this};      // type(threading.Lock()) and its methods
  BuiltinMethod lock_acquire{this}, lock_release{this};
#if PY_VERSION_HEX < 0x030A0000
  // gc.isenabled, gc.disable and gc.enable, when they are the gc module's
  // own C functions (see CollectorHeldOff).
  Held gc_isenabled{this}, gc_disable{this}, gc_enable{this};
#endif
#if PY_VERSION_HEX < 0x030C0000
  // A class nobody else sees; its version tag tells when every tag of the
  // interpreter was taken away (see TypeVerdict).
  Held tag_probe{this};
  unsigned int probe_tag = 0;
  unsigned long long tag_generation = 0;
#endif

  // Sets up the shared part for `module`; false with an exception set.
  bool setup(PyObject* module);
  bool capture_collector_switches();
  int traverse(visitproc visit, void* arg);
  // Lets go of everything; the state is no longer ready.
  void clear();

 private:
  friend class StateMember;
  template <class S>
  friend struct ModuleDefinition;
};

// The state of the module `fn` was made in. Function bodies run only while it
// is ready.
template <class S>
S& state_of(NativeFunction* fn) {
  return static_cast<S&>(function_state(fn));
}

// Holds the cyclic collector off for its lifetime, so that the allocations
// made meanwhile run no finalizer (before 3.12 the collector runs inside
// allocations of tracked objects; from 3.12 on it never does, and this does
// nothing). Whether it is held off is `held()`: without a way to turn it off
// that runs no code (before 3.10, the gc module's own C functions, found at
// import), it is not, and the caller takes the way that does not need it.
// Deferring a collection past a few allocations is nothing a program can
// tell: it is as if they had been made a little earlier. Nothing in between
// may release the interpreter lock, nor run Python code.
class CollectorHeldOff {
 public:
  explicit CollectorHeldOff(const ModuleState& state);
  ~CollectorHeldOff() { let_go(); }
  CollectorHeldOff(const CollectorHeldOff&) = delete;
  CollectorHeldOff& operator=(const CollectorHeldOff&) = delete;
  // Whether the collector is held off (false after let_go()).
  bool held() const { return held_; }
  // Lets the collector run again, if it was enabled before: before a step
  // that may run Python code.
  void let_go();

 private:
#if PY_VERSION_HEX < 0x030A0000
  const ModuleState& state_;
#endif
  bool held_ = true;
  bool was_enabled_ = false;
};

// Which interpreters a module may be loaded in (asked from 3.12 on).
enum class Interpreters {
  Shared,    // the main one and sub-interpreters sharing its GIL
  Isolated,  // also sub-interpreters with a GIL of their own
};

// The multi-phase definition of a module whose state is `S`. `exec` fills the
// module namespace and the state; false with an exception set on failure.
template <class S>
struct ModuleDefinition {
  using Exec = bool (*)(PyObject* module, S& state);

  // The result of PyInit_<module>. `name` and `doc` must live for the
  // process. The definition is made once, whichever interpreter asks first.
  static PyObject* init(const char* name, const char* doc, Exec exec, Interpreters interpreters) {
    static PyModuleDef* def = make(name, doc, exec, interpreters);
    return PyModuleDef_Init(def);
  }

  // The state of `module`, once its execution has begun.
  static S* of(PyObject* module) {
    auto* storage = static_cast<Storage*>(PyModule_GetState(module));
    return storage && storage->constructed ? storage->state() : nullptr;
  }

 private:
  // The memory the interpreter allocates, zeroed, with the module object.
  struct Storage {
    bool constructed;
    alignas(S) unsigned char bytes[sizeof(S)];
    S* state() { return std::launder(reinterpret_cast<S*>(bytes)); }
  };

  static PyModuleDef* make(const char* name, const char* doc, Exec exec,
                           Interpreters interpreters) {
    exec_ = exec;
    int i = 0;
    slots_[i++] = {Py_mod_exec, reinterpret_cast<void*>(&exec_module)};
#if PY_VERSION_HEX >= 0x030C0000
    slots_[i++] = {Py_mod_multiple_interpreters,
                   interpreters == Interpreters::Isolated ? Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
                                                          : Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED};
#else
    (void)interpreters;
#endif
#if PY_VERSION_HEX >= 0x030D0000
    slots_[i++] = {Py_mod_gil, Py_MOD_GIL_USED};  // not declared safe without the GIL
#endif
    slots_[i] = {0, nullptr};
    def_ = {PyModuleDef_HEAD_INIT, name, doc, static_cast<Py_ssize_t>(sizeof(Storage)), nullptr,
            slots_, &traverse_module, &clear_module, &free_module};
    return &def_;
  }

  static int exec_module(PyObject* module) {
    auto* storage = static_cast<Storage*>(PyModule_GetState(module));
    if (!storage) return -1;
    if (storage->constructed) {
      PyErr_SetString(PyExc_ImportError, "module executed twice");
      return -1;
    }
    S* state = new (storage->bytes) S();
    storage->constructed = true;
    if (!state->setup(module) || !exec_(module, *state)) return -1;
    state->ready_ = true;
    return 0;
  }
  static int traverse_module(PyObject* module, visitproc visit, void* arg) {
    S* state = of(module);
    return state ? state->traverse(visit, arg) : 0;
  }
  static int clear_module(PyObject* module) {
    if (S* state = of(module)) state->clear();
    return 0;
  }
  static void free_module(void* module) {
    auto* storage = static_cast<Storage*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (!storage || !storage->constructed) return;
    storage->constructed = false;
    storage->state()->~S();
  }

  // The definition: the same for every interpreter, made once.
  static inline Exec exec_ = nullptr;
  static inline PyModuleDef_Slot slots_[4] = {};
  static inline PyModuleDef def_ = {};
};

// `import name` (the named module itself, also for dotted names).
Ref import_module(const char* name);
// `from module import name`, with the interpreter's ImportError text.
Ref import_from(const char* module, const char* name);

// Where a dependency refuses to load in a sub-interpreter with a GIL of its
// own (the interpreter raises ImportError("module ... does not support loading
// in subinterpreters"), which a package may wrap in an ImportError of its
// own), replaces that pending refusal by ImportError("<module_name> cannot be
// imported in an isolated sub-interpreter: <reason>") raised from it. Any
// other pending error stays as it is.
void explain_isolation_refusal(const char* module_name, const char* reason);

// Binds module.name = value (stealing value); false with an exception set
// when value is NULL or binding fails. Names appear in binding order.
bool bind(PyObject* module, const char* name, Ref value);

// A class made like a `class` statement would make it: namespace holding
// __module__, __qualname__, then __doc__ (when given) and `members` in order,
// created by calling type(name, bases, namespace).
Ref make_class(PyObject* module, const char* name, PyObject* bases, const char* doc,
               std::initializer_list<std::pair<const char*, Ref>> members);

// staticmethod(fn)
Ref static_method(Ref fn);

}  // namespace ombrix
