// A native function object that introspection takes for a Python function.
//
// Module code declares each function once, as a FunctionSpec: its name,
// qualified name, docstring, parameters (with the exact-type checks and the
// annotations Python code sees) and the C++ body. `make_function` turns a
// spec into a callable object with `__name__`, `__qualname__`, `__module__`,
// `__doc__`, `__defaults__`, `__kwdefaults__`, `__annotations__` and a
// `__signature__` for `inspect.signature`. Stored in a class it binds as a
// method, like a Python function; `staticmethod(...)` works on it.
//
// Calls go through vectorcall where the interpreter has it. Arguments are
// bound like a Python function binds them; the count errors use the message
// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", the type
// errors "Argument '%.200s' has incorrect type (expected %.200s, got
// %.200s)", and keyword errors the interpreter's own texts.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "ombrix/ref.hpp"

namespace ombrix {

enum class Kind : unsigned char { PositionalOrKeyword, KeywordOnly };

// Parameters declared `str` or `int` accept exactly that built-in type: a
// subclass (bool for int), None or anything else is refused.
enum class Exact : unsigned char { Any, Str, Int };

struct Param {
  const char* name;
  const char* annotation = nullptr;  // string stored in __annotations__
  Exact exact = Exact::Any;
  Kind kind = Kind::PositionalOrKeyword;
};

struct NativeFunction;
class ModuleState;

// The body of a function. `argv` holds one borrowed reference per declared
// parameter, in declaration order, defaults filled in. Returns a new
// reference, or NULL with an exception set.
using Impl = PyObject* (*)(NativeFunction* fn, PyObject* const* argv);

// Positional-or-keyword parameters come before keyword-only ones.
struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;  // nullptr: no docstring
  std::vector<Param> params;
  const char* return_annotation;  // nullptr: no return annotation
  Impl impl;
};

constexpr Py_ssize_t kMaxParams = 8;

// Creates the function for `spec` (which must outlive it) in the module of
// `state`, whose namespace becomes the function's globals. `defaults` are the
// values of the trailing positional parameters; `kwdefaults` those of
// keyword-only ones.
Ref make_function(const FunctionSpec& spec, ModuleState& state,
                  std::initializer_list<PyObject*> defaults = {},
                  std::initializer_list<std::pair<const char*, PyObject*>> kwdefaults = {});

// The state of the module `fn` was made in (see state_of in module.hpp).
ModuleState& function_state(NativeFunction* fn);

// Looks `name` up as the function body would in Python: first the module's
// namespace, then the builtins. Returns a new reference, or NULL with
// NameError (or the error of a lookup) set. Collaborators are looked up at
// every call so that callers may rebind them.
Ref global(NativeFunction* fn, PyObject* name);

namespace detail {
// The native function type of one module: a heap type made with the module
// (from the module's state), so that every interpreter has its own.
Ref make_function_type(PyObject* module);
}  // namespace detail

}  // namespace ombrix
