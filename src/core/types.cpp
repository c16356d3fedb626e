#include "ombrix/types.hpp"

#include "ombrix/module.hpp"

#include <cstring>

namespace ombrix {

Ref type_lookup(PyTypeObject* type, PyObject* name) {
  // Owned: comparing a key of a class dict may run code that assigns
  // __bases__ (a new MRO) or changes the dicts.
  const Ref mro = Ref::borrow(type->tp_mro);
  if (!mro) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on, static builtin types keep their dict per interpreter.
    const Ref dict = Ref::steal(PyType_GetDict(base));
#else
    const Ref dict = Ref::borrow(base->tp_dict);
#endif
    if (!dict) continue;
    Ref value;
    if (!dict_lookup(dict.get(), name, &value)) {
      PyErr_Clear();  // as the interpreter's lookup: an error ends it, unfound
      return Ref();
    }
    if (value) return value;
  }
  return Ref();
}

Ref instance_dict(PyObject* obj) {
  if (Py_TYPE(obj)->tp_dictoffset == 0) return Ref();  // no __dict__ at all
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyObject_GenericGetDict(obj, nullptr));
#elif PY_VERSION_HEX >= 0x030A0000
  // Nothing below releases the interpreter lock, so no other thread can
  // turn the collector back on in between.
  const int was_enabled = PyGC_Disable();
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (was_enabled) PyGC_Enable();
  return dict;
#else
  PyObject** slot = _PyObject_GetDictPtr(obj);
  // Read and owned at once; a dict not made yet: empty.
  return Ref::borrow(slot ? *slot : nullptr);
#endif
}

bool library_function(PyObject* f, PyObject* module_dict, const char* qualname) {
  if (!f || Py_TYPE(f) != &PyFunction_Type || PyFunction_GET_GLOBALS(f) != module_dict) {
    return false;
  }
  auto* fn = reinterpret_cast<PyFunctionObject*>(f);
  PyObject* code = PyFunction_GET_CODE(f);
  if (!fn->func_qualname || !PyUnicode_CheckExact(fn->func_qualname) || !code ||
      !PyCode_Check(code)) {
    return false;
  }
  const char* dot = std::strrchr(qualname, '.');
  PyObject* co_name = reinterpret_cast<PyCodeObject*>(code)->co_name;
  // Comparing an exact str with a C string runs no code.
  return PyUnicode_CompareWithASCIIString(fn->func_qualname, qualname) == 0 &&
         PyUnicode_CheckExact(co_name) &&
         PyUnicode_CompareWithASCIIString(co_name, dot ? dot + 1 : qualname) == 0;
}

bool generic_attributes(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr &&
         type->tp_setattro == PyObject_GenericSetAttr;
}

#if PY_VERSION_HEX >= 0x030C0000

bool TypeVerdictBase::holds(ModuleState&, PyTypeObject* type) const {
  // A type that is changed loses its tag (0), and no tag comes twice.
  return type == type_ && tag_ != 0 && type->tp_version_tag == tag_;
}

TypeVerdictBase::Stamp TypeVerdictBase::begin(ModuleState&, PyTypeObject* type) {
  if (!PyUnstable_Type_AssignVersionTag(type)) return {0, 0};
  return {type->tp_version_tag, 0};
}

bool TypeVerdictBase::end(ModuleState&, PyTypeObject* type, Stamp stamp, bool verdict) {
  type_ = nullptr;
  if (stamp.tag == 0 || type->tp_version_tag != stamp.tag) return false;
  type_ = type;
  tag_ = stamp.tag;
  verdict_ = verdict;
  return verdict;
}

namespace detail {
bool init_tag_probe(ModuleState&) { return true; }
}  // namespace detail

#else

namespace {

bool has_valid_tag(PyTypeObject* type) {
  return type->tp_version_tag != 0 && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

// A lookup through the interpreter's method cache gives the type a tag when
// one is left.
void assign_tag(ModuleState& state, PyTypeObject* type) {
  _PyType_Lookup(type, state.probe_name);  // the (borrowed) result is not used
}

// The number of times every tag was taken away since the probe was made,
// counted from 1; 0 when no tag can be had.
unsigned long long generation(ModuleState& state) {
  PyTypeObject* probe = state.tag_probe.type();
  if (!probe) return 0;
  if (!has_valid_tag(probe) || probe->tp_version_tag != state.probe_tag) {
    ++state.tag_generation;
    assign_tag(state, probe);
    if (!has_valid_tag(probe)) return 0;
    state.probe_tag = probe->tp_version_tag;
  }
  return state.tag_generation;
}

}  // namespace

bool TypeVerdictBase::holds(ModuleState& state, PyTypeObject* type) const {
  if (type != type_ || !has_valid_tag(type) || type->tp_version_tag != tag_) return false;
  const unsigned long long now = generation(state);
  return now != 0 && now == generation_;
}

TypeVerdictBase::Stamp TypeVerdictBase::begin(ModuleState& state, PyTypeObject* type) {
  if (!has_valid_tag(type)) assign_tag(state, type);
  // Handing out a tag may have made every tag start over.
  const unsigned long long now = generation(state);
  if (now == 0 || !has_valid_tag(type)) return {0, 0};
  return {type->tp_version_tag, now};
}

bool TypeVerdictBase::end(ModuleState& state, PyTypeObject* type, Stamp stamp, bool verdict) {
  type_ = nullptr;
  const unsigned long long now = generation(state);
  if (stamp.tag == 0 || now == 0 || now != stamp.generation || !has_valid_tag(type) ||
      type->tp_version_tag != stamp.tag) {
    return false;
  }
  type_ = type;
  tag_ = stamp.tag;
  generation_ = now;
  verdict_ = verdict;
  return verdict;
}

namespace detail {

bool init_tag_probe(ModuleState& state) {
  Ref name = Ref::steal(PyUnicode_FromString("_verdict_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref ns = Ref::steal(PyDict_New());
  if (!name || !bases || !ns) return false;
  return state.tag_probe.set(
      call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()}));
}

}  // namespace detail

#endif

}  // namespace ombrix
