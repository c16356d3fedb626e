#include "ombrix/function.hpp"

#include <cstddef>
#include <cstring>
#include <structmember.h>

#include "ombrix/module.hpp"

namespace ombrix {

struct NativeFunction {
  PyObject_HEAD
#if OMBRIX_HAVE_VECTORCALL
  vectorcallfunc vectorcall;
#endif
  const FunctionSpec* spec;
  PyObject* varnames;  // tuple of interned parameter names
  Py_ssize_t npos;     // number of positional-or-keyword parameters
  bool checked;        // whether a parameter takes one exact type only
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;    // tuple or NULL
  PyObject* kwdefaults;  // dict or NULL
  PyObject* annotations;
  PyObject* globals;
  PyObject* builtins;
  PyObject* dict;
  PyObject* weakreflist;
  PyObject* home;       // the module object the function was made in
  ModuleState* state;   // its state, alive as long as `home` is
};

namespace {

const char* utf8(PyObject* s) {
  const char* text = PyUnicode_Check(s) ? PyUnicode_AsUTF8(s) : nullptr;
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

// --- argument binding --------------------------------------------------------

void raise_count(NativeFunction* f, bool exact, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               utf8(f->name), exact ? "exactly" : (given < expected ? "at least" : "at most"),
               expected, expected == 1 ? "" : "s", given);
}

PyObject* keyword_error_name(NativeFunction* f) {
  return OMBRIX_KEYWORD_ERRORS_USE_QUALNAME ? f->qualname : f->name;
}

Py_ssize_t find_param(NativeFunction* f, PyObject* key) {
  Py_ssize_t n = PyTuple_GET_SIZE(f->varnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(f->varnames, i) == key) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->varnames, i), key);
    if (eq == 0) return i;
    if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  return -1;
}

bool check_exact(const Param& p, PyObject* value) {
  PyTypeObject* want = nullptr;
  switch (p.exact) {
    case Exact::Any: return true;
    case Exact::Str: want = &PyUnicode_Type; break;
    case Exact::Int: want = &PyLong_Type; break;
  }
  if (Py_TYPE(value) == want) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               p.name, want->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

// Binds the call's arguments to the parameters; fills `out` (all NULL on
// entry) with new references, also on failure. `kwvalues` holds the values
// for `kwnames`, in order. Every value is owned as soon as it is bound: a
// lookup in a defaults dict with exotic keys may run Python code that
// rebinds the defaults.
bool bind_args(NativeFunction* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject* const* kwvalues, PyObject** out) {
  const std::vector<Param>& params = f->spec->params;
  const Py_ssize_t n = static_cast<Py_ssize_t>(params.size());
  for (Py_ssize_t i = 0; i < nargs && i < f->npos; ++i) out[i] = Ref::borrow(args[i]).release();

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", keyword_error_name(f));
      return false;
    }
    Py_ssize_t j = find_param(f, key);
    if (j < 0) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                   keyword_error_name(f), key);
      return false;
    }
    if (out[j]) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                   keyword_error_name(f), key);
      return false;
    }
    out[j] = Ref::borrow(kwvalues[k]).release();
  }

  const Ref defaults = Ref::borrow(f->defaults);
  const Ref kwdefaults = Ref::borrow(f->kwdefaults);
  const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  const Py_ssize_t nrequired = f->npos - ndefaults;
  if (nargs > f->npos) {
    raise_count(f, nrequired == f->npos, f->npos, nargs);
    return false;
  }
  for (Py_ssize_t j = 0; j < f->npos; ++j) {
    if (out[j]) continue;
    if (j < nrequired) {
      raise_count(f, nrequired == f->npos, nrequired, j);
      return false;
    }
    out[j] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), j - nrequired)).release();
  }
  for (Py_ssize_t j = f->npos; j < n; ++j) {
    if (out[j]) continue;
    PyObject* name = PyTuple_GET_ITEM(f->varnames, j);
    Ref value;
    if (kwdefaults && !dict_lookup(kwdefaults.get(), name, &value)) return false;
    out[j] = value.release();
    if (!out[j]) {
      PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%U'",
                   keyword_error_name(f), name);
      return false;
    }
  }
  for (Py_ssize_t j = 0; f->checked && j < n; ++j) {
    if (!check_exact(params[j], out[j])) return false;
  }
  return true;
}

// The bound arguments, owned for the duration of the call: the body may
// run Python code that rebinds defaults or drops the caller's containers.
struct BoundArgs {
  explicit BoundArgs(std::size_t n) : n(n) {}
  std::size_t n;  // the function's parameters
  PyObject* argv[kMaxParams] = {};
  ~BoundArgs() {
    for (std::size_t i = 0; i < n; ++i) Py_XDECREF(argv[i]);
  }
};

PyObject* invoke(NativeFunction* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject* const* kwvalues) {
  if (!f->home || !f->state->ready()) {
    PyErr_Format(PyExc_RuntimeError, "%U() called after its module was torn down", f->qualname);
    return nullptr;
  }
  BoundArgs bound(f->spec->params.size());
  if (!bind_args(f, args, nargs, kwnames, kwvalues, bound.argv)) return nullptr;
  PyObject* result = f->spec->impl(f, bound.argv);
  OMBRIX_RESULT_AGREES(result);
  return result;
}

#if OMBRIX_HAVE_VECTORCALL
PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  return invoke(reinterpret_cast<NativeFunction*>(self), args, nargs, kwnames, args + nargs);
}
#else
PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  Ref kwnames;
  std::vector<PyObject*> kwvalues;
  if (nkw) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), k++, key);
      kwvalues.push_back(value);
    }
  }
  return invoke(reinterpret_cast<NativeFunction*>(self), &PyTuple_GET_ITEM(args, 0),
                PyTuple_GET_SIZE(args), kwnames.get(), kwvalues.data());
}
#endif

// --- attributes -------------------------------------------------------------

PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  // Each lookup once the one before it succeeded (a lookup runs code, which
  // must not meet the error of the one before).
  auto attr = [](const Ref& owner, const char* name) {
    return owner ? Ref::steal(PyObject_GetAttrString(owner.get(), name)) : Ref();
  };
  Ref parameter = attr(inspect, "Parameter");
  Ref signature = parameter ? attr(inspect, "Signature") : Ref();
  Ref empty = signature ? attr(parameter, "empty") : Ref();
  Ref pos_kind = empty ? attr(parameter, "POSITIONAL_OR_KEYWORD") : Ref();
  Ref kw_kind = pos_kind ? attr(parameter, "KEYWORD_ONLY") : Ref();
  Ref kwlabels = kw_kind ? Ref::steal(Py_BuildValue("(ss)", "default", "annotation")) : Ref();
  if (!kwlabels) return nullptr;

  // Creating the parameters runs Python code, which may rebind the
  // function's defaults or annotations: work on the values as they are now.
  const Ref defaults = Ref::borrow(f->defaults);
  const Ref kwdefaults = Ref::borrow(f->kwdefaults);
  const Ref annotations = Ref::borrow(f->annotations);
  auto lookup = [&](const Ref& mapping, PyObject* key) -> Ref {
    Ref v;
    if (mapping && PyDict_Check(mapping.get()) && !dict_lookup(mapping.get(), key, &v)) {
      PyErr_Clear();  // a key that cannot be compared: no entry
    }
    return v ? v : empty;
  };
  const Py_ssize_t n = PyTuple_GET_SIZE(f->varnames);
  const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (Py_ssize_t j = 0; j < n; ++j) {
    PyObject* name = PyTuple_GET_ITEM(f->varnames, j);
    bool positional = j < f->npos;
    Ref dflt = empty;
    if (positional && j >= f->npos - ndefaults) {
      dflt = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), j - (f->npos - ndefaults)));
    } else if (!positional) {
      dflt = lookup(kwdefaults, name);
    }
    Ref annotation = lookup(annotations, name);
    Ref p = call_kw(parameter.get(),
                    {name, positional ? pos_kind.get() : kw_kind.get(), dflt.get(),
                     annotation.get()},
                    kwlabels.get());
    if (!p || PyList_Append(list.get(), p.get()) < 0) return nullptr;
  }
  Ref ret_label = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
  Ref ret_key = Ref::steal(PyUnicode_InternFromString("return"));
  if (!ret_label || !ret_key) return nullptr;
  Ref returns = lookup(annotations, ret_key.get());
  return call_kw(signature.get(), {list.get(), returns.get()}, ret_label.get()).release();
}

PyObject* get_str_field(PyObject* field) {
  Py_INCREF(field);
  return field;
}

int set_str_field(PyObject** field, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*field, value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) {
  return get_str_field(reinterpret_cast<NativeFunction*>(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_field(&reinterpret_cast<NativeFunction*>(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
  return get_str_field(reinterpret_cast<NativeFunction*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_field(&reinterpret_cast<NativeFunction*>(self)->qualname, value, "__qualname__");
}

PyObject* get_optional(PyObject* field) {
  PyObject* v = field ? field : Py_None;
  Py_INCREF(v);
  return v;
}

// __defaults__ takes a tuple or None, __kwdefaults__ a dict or None, as for
// Python functions; deleting either means None.
PyObject* get_defaults(PyObject* self, void*) {
  return get_optional(reinterpret_cast<NativeFunction*>(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(reinterpret_cast<NativeFunction*>(self)->defaults, value);
  return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
  return get_optional(reinterpret_cast<NativeFunction*>(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(reinterpret_cast<NativeFunction*>(self)->kwdefaults, value);
  return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
  return get_str_field(reinterpret_cast<NativeFunction*>(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (!value || !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(reinterpret_cast<NativeFunction*>(self)->annotations, value);
  return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
#if PY_VERSION_HEX >= 0x03090000
    {const_cast<char*>("__dictoffset__"), T_PYSSIZET, offsetof(NativeFunction, dict), READONLY,
     nullptr},
    {const_cast<char*>("__weaklistoffset__"), T_PYSSIZET, offsetof(NativeFunction, weakreflist),
     READONLY, nullptr},
    {const_cast<char*>("__vectorcalloffset__"), T_PYSSIZET, offsetof(NativeFunction, vectorcall),
     READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

// --- type --------------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
#if PY_VERSION_HEX >= 0x03090000
  Py_VISIT(Py_TYPE(self));  // instances of heap types own their type
#endif
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->builtins);
  Py_VISIT(f->dict);
  Py_VISIT(f->home);
  return 0;
}

int fn_clear(PyObject* self) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->builtins);
  Py_CLEAR(f->dict);
  f->state = nullptr;
  Py_CLEAR(f->home);
  return 0;
}

void fn_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<NativeFunction*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  Py_CLEAR(f->varnames);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  PyObject_GC_Del(self);
  Py_DECREF(type);  // instances of a heap type own their type (see make_function)
}

PyObject* fn_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>",
                              reinterpret_cast<NativeFunction*>(self)->qualname, self);
}

// Binds as a method when found through an instance, like a Python function.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

#if PY_VERSION_HEX < 0x030A0000
// Only make_function makes these; type(f)() is refused, as 3.10 and later
// refuse it for a type that disallows instantiation.
PyObject* fn_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}
#endif

}  // namespace

namespace detail {

Ref make_function_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
      {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
      {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
      {Py_tp_getset, fn_getset},
      {Py_tp_members, fn_members},
#if OMBRIX_HAVE_VECTORCALL
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
#else
      {Py_tp_call, reinterpret_cast<void*>(fn_call)},
#endif
#if PY_VERSION_HEX < 0x030A0000
      {Py_tp_new, reinterpret_cast<void*>(fn_new)},
#endif
      {0, nullptr},
  };
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | OMBRIX_TPFLAGS_METHOD_DESCRIPTOR;
#if PY_VERSION_HEX >= 0x03090000
  flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#endif
#if PY_VERSION_HEX >= 0x030A0000
  flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
#endif
  PyType_Spec spec = {"native_function", static_cast<int>(sizeof(NativeFunction)), 0, flags,
                      slots};
#if PY_VERSION_HEX >= 0x03090000
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
  if (!type) {
    // 3.10 and 3.11 fail without an error when copying the type's name
    // fails to allocate.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return type;
  }
#else
  (void)module;
  // Before 3.9 a spec whose name has no module part costs a
  // DeprecationWarning, so that the import fails where warnings are errors;
  // one with a module part stores that module as the type's __module__,
  // over the member that gives each function its own. The type is made
  // under a dotted name, and its name and that member are put back.
  spec.name = "ombrix_sdk.native_function";
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type) return type;
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  t->tp_name = "native_function";
  const PyMemberDef* module_def = fn_members;
  while (std::strcmp(module_def->name, "__module__") != 0) ++module_def;
  Ref module_member = Ref::steal(PyDescr_NewMember(t, const_cast<PyMemberDef*>(module_def)));
  if (!module_member || PyDict_SetItemString(t->tp_dict, "__module__", module_member.get()) < 0) {
    return Ref();
  }
  // Before 3.9 a type made from a spec takes no offsets from its members.
  t->tp_dictoffset = offsetof(NativeFunction, dict);
  t->tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
#if OMBRIX_HAVE_VECTORCALL
  t->tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
  t->tp_flags |= OMBRIX_TPFLAGS_HAVE_VECTORCALL;
#endif
  PyType_Modified(t);
#endif
  return type;
}

}  // namespace detail

Ref make_function(const FunctionSpec& spec, ModuleState& state,
                  std::initializer_list<PyObject*> defaults,
                  std::initializer_list<std::pair<const char*, PyObject*>> kwdefaults) {
  OMBRIX_NO_PENDING_EXCEPTION();
  PyObject* module = state.module();
  PyTypeObject* type = state.function_type.type();
  if (!type) {
    PyErr_SetString(PyExc_SystemError, "the module's function type is not ready");
    return Ref();
  }
  const Py_ssize_t n = static_cast<Py_ssize_t>(spec.params.size());
  if (n > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
    return Ref();
  }
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(NativeFunction, type)));
  if (!self) return Ref();
#if PY_VERSION_HEX < 0x03080000
  // From 3.8 on the allocation takes a reference to a heap type for its
  // instance; before, the instance takes it here, or the type (held by the
  // module state, which is cleared first at shutdown) goes before the
  // functions that still point to it.
  Py_INCREF(type);
#endif
  auto* f = reinterpret_cast<NativeFunction*>(self.get());
#if OMBRIX_HAVE_VECTORCALL
  f->vectorcall = fn_vectorcall;
#endif
  f->spec = &spec;
  f->npos = 0;
  f->checked = false;
  f->varnames = f->name = f->qualname = f->module = f->doc = nullptr;
  f->defaults = f->kwdefaults = f->annotations = f->globals = f->builtins = nullptr;
  f->dict = f->weakreflist = nullptr;
  Py_INCREF(module);
  f->home = module;
  f->state = &state;
  PyObject_GC_Track(self.get());

  f->varnames = PyTuple_New(n);
  f->annotations = PyDict_New();
  if (!f->varnames || !f->annotations) return Ref();
  for (Py_ssize_t j = 0; j < n; ++j) {
    const Param& p = spec.params[j];
    PyObject* name = PyUnicode_InternFromString(p.name);
    if (!name) return Ref();
    PyTuple_SET_ITEM(f->varnames, j, name);
    if (p.kind == Kind::PositionalOrKeyword) f->npos = j + 1;
    if (p.exact != Exact::Any) f->checked = true;
    if (p.annotation) {
      Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
      if (!text || PyDict_SetItem(f->annotations, name, text.get()) < 0) return Ref();
    }
  }
  if (spec.return_annotation) {
    Ref text = Ref::steal(PyUnicode_FromString(spec.return_annotation));
    if (!text || PyDict_SetItemString(f->annotations, "return", text.get()) < 0) return Ref();
  }
  // Each step only once the one before it succeeded: nothing may be called
  // with the error of a failed allocation pending.
  if (!(f->name = PyUnicode_FromString(spec.name))) return Ref();
  if (!(f->qualname = PyUnicode_FromString(spec.qualname ? spec.qualname : spec.name))) {
    return Ref();
  }
  if (!(f->module = PyObject_GetAttrString(module, "__name__"))) return Ref();
  f->globals = PyModule_GetDict(module);
  Py_INCREF(f->globals);
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return Ref();
  f->builtins = PyModule_GetDict(builtins.get());
  Py_INCREF(f->builtins);
  f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Ref::borrow(Py_None).release();
  if (!f->doc) return Ref();
  if (defaults.size()) {
    f->defaults = PyTuple_New(static_cast<Py_ssize_t>(defaults.size()));
    if (!f->defaults) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* d : defaults) {
      Py_INCREF(d);
      PyTuple_SET_ITEM(f->defaults, i++, d);
    }
  }
  if (kwdefaults.size()) {
    f->kwdefaults = PyDict_New();
    if (!f->kwdefaults) return Ref();
    for (const auto& kv : kwdefaults) {
      if (PyDict_SetItemString(f->kwdefaults, kv.first, kv.second) < 0) return Ref();
    }
  }
  return self;
}

ModuleState& function_state(NativeFunction* fn) { return *fn->state; }

Ref global(NativeFunction* fn, PyObject* name) {
  // The namespaces are owned for the lookups: a key's __eq__ may run code.
  const Ref globals = Ref::borrow(fn->globals);
  const Ref builtins = Ref::borrow(fn->builtins);
  Ref value;
  if (globals && !dict_lookup(globals.get(), name, &value)) return Ref();
  if (!value && builtins && !dict_lookup(builtins.get(), name, &value)) return Ref();
  if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return value;
}

}  // namespace ombrix
