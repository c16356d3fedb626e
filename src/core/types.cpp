#include "ombrix/types.hpp"

namespace ombrix {

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (!mro) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on, static builtin types keep their dict per interpreter
    // (tp_dict may be NULL); the type still owns it, so values stay valid.
    Ref owned = Ref::steal(PyType_GetDict(base));
    PyObject* dict = owned.get();
#else
    PyObject* dict = base->tp_dict;
#endif
    if (!dict) continue;
    PyObject* v = dict_get(dict, name);
    if (v) return v;
  }
  return nullptr;
}

bool generic_attributes(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr &&
         type->tp_setattro == PyObject_GenericSetAttr;
}

namespace {

bool has_valid_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
  // From 3.13 on the interpreter no longer maintains the valid-tag flag: a
  // type's tag is valid exactly when it is not zero, and modifying the type
  // or a base resets it to zero.
  return type->tp_version_tag != 0;
#else
  return type->tp_version_tag != 0 && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

void assign_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  PyUnstable_Type_AssignVersionTag(type);
#else
  // Any attribute lookup through the type's method cache gives it a tag.
  Ref probe = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "mro"));
  if (!probe) PyErr_Clear();
#endif
}

}  // namespace

bool TypeVerdict::check(PyTypeObject* type) {
  if (type == type_ && tag_ != 0 && type->tp_version_tag == tag_ && has_valid_tag(type)) {
    return verdict_;
  }
  bool verdict = compute_(type);
  if (!has_valid_tag(type)) assign_tag(type);
  if (has_valid_tag(type)) {
    type_ = type;
    tag_ = type->tp_version_tag;
    verdict_ = verdict;
  }
  return verdict;
}

}  // namespace ombrix
