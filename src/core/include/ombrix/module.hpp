// Building a module's namespace: imports, classes, bindings in order.
#pragma once

#include <initializer_list>
#include <utility>

#include "ombrix/function.hpp"
#include "ombrix/ref.hpp"

namespace ombrix {

// `import name` (the named module itself, also for dotted names).
Ref import_module(const char* name);
// `from module import name`, with the interpreter's ImportError text.
Ref import_from(const char* module, const char* name);

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
