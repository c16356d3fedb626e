// Per-interpreter module state.
//
// Every module keeps what it needs between calls (interned names, the
// standard-library objects its shortcuts compare against, its native
// function type, remembered verdicts) in a state object of its own, one per
// module object, that is, one per interpreter that imports it. Nothing is
// kept in process globals, so sub-interpreters never see each other's
// objects.
//
// A module's state is a class derived from ModuleState whose members are
// Names, Held objects and other StateMembers, each registered with the state
// it belongs to when constructed:
//
//     struct State : ombrix::ModuleState {
//       ombrix::Name maxsize{this, "maxsize"};
//       ombrix::Held deque{this};
//     };
//
// The state is constructed when the module is executed and destroyed with
// the module object; the garbage collector sees every Held object through
// the module.
#pragma once

#include "ombrix/ref.hpp"

namespace ombrix {

class ModuleState;

// Something a module state owns: the state reports it to the garbage
// collector and lets it go when the module is cleared.
class StateMember {
 public:
  explicit StateMember(ModuleState* owner);
  StateMember(const StateMember&) = delete;
  StateMember& operator=(const StateMember&) = delete;
  virtual ~StateMember() = default;
  // Called when the module is executed; false with an exception set.
  virtual bool prepare() { return true; }
  virtual int traverse(visitproc, void*) { return 0; }
  virtual void clear() = 0;

 private:
  friend class ModuleState;
  StateMember* next_ = nullptr;
};

// An interned name, made when the module is executed.
class Name : public StateMember {
 public:
  Name(ModuleState* owner, const char* text);
  operator PyObject*() const { return obj_.get(); }
  PyObject* get() const { return obj_.get(); }
  const char* text() const { return text_; }
  Py_hash_t hash() const { return hash_; }
  bool prepare() override;
  void clear() override { obj_ = Ref(); }

 private:
  const char* text_;
  Ref obj_;
  Py_hash_t hash_ = -1;
};

// An object the state keeps: a class or function to compare against, a
// type, a constant.
class Held : public StateMember {
 public:
  explicit Held(ModuleState* owner) : StateMember(owner) {}
  PyObject* get() const { return obj_.get(); }
  PyTypeObject* type() const { return reinterpret_cast<PyTypeObject*>(obj_.get()); }
  explicit operator bool() const { return static_cast<bool>(obj_); }
  // Keeps `obj`; false (with the exception set) when it is NULL.
  bool set(Ref obj) {
    obj_ = std::move(obj);
    return static_cast<bool>(obj_);
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(obj_.get());
    return 0;
  }
  void clear() override { obj_ = Ref(); }

 private:
  Ref obj_;
};

}  // namespace ombrix
