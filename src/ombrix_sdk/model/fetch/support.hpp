// Small pieces the fetch functions share: the module's collaborators as the
// function sees them, the logger, string building, `except` clauses and
// `finally: x.close()`.
#pragma once

#include <initializer_list>

#include "ombrix/function.hpp"
#include "ombrix/ref.hpp"
#include "state.hpp"

namespace fetch {

using ombrix::NativeFunction;
using ombrix::Ref;

// The module global `name` (then the builtin), as a new reference; NULL
// with NameError set when neither exists.
Ref lookup(NativeFunction* fn, PyObject* name);

// os.path.<name>(*args), `os` taken from the module namespace.
Ref os_path(NativeFunction* fn, PyObject* name, std::initializer_list<PyObject*> args);
// os.<name>(*args)
Ref os_call(NativeFunction* fn, PyObject* name, std::initializer_list<PyObject*> args);

// logger.info(message) and logger.warning(message); false with an
// exception set when the message is NULL or the logger fails.
bool log_info(NativeFunction* fn, const Ref& message);
bool log_warning(NativeFunction* fn, const Ref& message);

// a + b + ..., with the `+` of Python (str + non-str raises TypeError).
Ref concat(std::initializer_list<PyObject*> parts);
// str(obj)
Ref text_of(PyObject* obj);

// One `except <cls> as e:` clause.
//
//     Caught e;
//     if (!e.take(PyExc_Exception)) return nullptr;   // not ours: propagates
//     ... handle e.value() ...
class Caught {
 public:
  Caught() = default;
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;
  // Takes the pending exception when it is an instance of `cls`; otherwise
  // leaves it pending and returns false.
  bool take(PyObject* cls);
  PyObject* value() const { return value_.get(); }
  // str(e)
  Ref text() const { return text_of(value_.get()); }
  // Raises the caught exception again.
  void restore();

 private:
  Ref type_, value_, traceback_;
};

// `finally: obj.close()` after a block whose outcome is `result` (NULL with
// the block's exception set). Returns the outcome; when close() raises, its
// exception replaces the block's, which becomes its context.
Ref finally_close(const State& st, PyObject* obj, Ref result);

}  // namespace fetch
