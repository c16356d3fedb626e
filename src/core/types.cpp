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

TypeVerdict* verdicts = nullptr;  // all verdicts of this extension module
bool verdicts_ready = false;

#if PY_VERSION_HEX >= 0x030C0000

int watcher_id = -1;

// Called by the interpreter before a watched type (or one of its bases) is
// changed.
int on_type_modified(PyTypeObject* type) {
  for (TypeVerdict* v = verdicts; v; v = v->next()) v->forget(type);
  return 0;
}

// The interpreter has only a few watcher slots; when they are all taken,
// verdicts are computed afresh on every check instead of failing the import.
bool prepare() {
  watcher_id = PyType_AddWatcher(on_type_modified);
  if (watcher_id < 0) PyErr_Clear();
  return true;
}

// Makes sure that the next change to `type` reaches on_type_modified, and
// tells the tag under which the verdict is kept (0: do not keep it).
unsigned int watch(PyTypeObject* type) {
  if (watcher_id < 0 || !PyUnstable_Type_AssignVersionTag(type)) return 0;
  if (PyType_Watch(watcher_id, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();
    return 0;
  }
  return type->tp_version_tag;
}

#else

// A class of our own that nobody else looks at or changes. The interpreter
// takes its version tag away only when it takes every tag away (clearing the
// type cache, or the tag counter wrapping around), after which tags are
// handed out again from the start and may repeat.
PyTypeObject* probe = nullptr;
unsigned int probe_tag = 0;
std::uint64_t current_generation = 0;
Interned s_probe_name("__ombrix_probe__");

bool has_valid_tag(PyTypeObject* type) {
  return type->tp_version_tag != 0 && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

// A lookup through the interpreter's method cache gives the type a tag (when
// one is left) and runs no Python code.
void assign_tag(PyTypeObject* type) { _PyType_Lookup(type, s_probe_name); }

// The number of times every tag was taken away, counted from 1; 0 when no
// tag can be had.
std::uint64_t generation() {
  if (!has_valid_tag(probe) || probe->tp_version_tag != probe_tag) {
    ++current_generation;
    assign_tag(probe);
    if (!has_valid_tag(probe)) return 0;
    probe_tag = probe->tp_version_tag;
  }
  return current_generation;
}

bool prepare() {
  if (!s_probe_name.get() && !init_interned()) return false;
  Ref name = Ref::steal(PyUnicode_FromString("_verdict_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref ns = Ref::steal(PyDict_New());
  if (!name || !bases || !ns) return false;
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
  if (!cls) return false;
  probe = reinterpret_cast<PyTypeObject*>(cls.release());  // kept for the process
  return true;
}

#endif

}  // namespace

bool init_type_verdicts() {
  if (verdicts_ready) return true;
  if (!prepare()) return false;
  verdicts_ready = true;
  return true;
}

TypeVerdict::TypeVerdict(Compute compute) : compute_(compute), next_(verdicts) {
  if (verdicts) verdicts->prev_ = this;
  verdicts = this;
}

TypeVerdict::TypeVerdict(const TypeVerdict& other) : TypeVerdict(other.compute_) {}

TypeVerdict::~TypeVerdict() {
  if (prev_) prev_->next_ = next_;
  if (next_) next_->prev_ = prev_;
  if (verdicts == this) verdicts = next_;
}

#if PY_VERSION_HEX >= 0x030C0000

bool TypeVerdict::check(PyTypeObject* type) {
  if (type == type_ && type->tp_version_tag == tag_) return verdict_;
  bool verdict = compute_(type);
  type_ = nullptr;
  if (verdicts_ready) {
    unsigned int tag = watch(type);
    if (tag != 0) {
      type_ = type;
      tag_ = tag;
      verdict_ = verdict;
    }
  }
  return verdict;
}

#else

bool TypeVerdict::check(PyTypeObject* type) {
  if (!verdicts_ready) return compute_(type);
  std::uint64_t now = generation();
  if (now != 0 && now == generation_ && type == type_ && type->tp_version_tag == tag_ &&
      has_valid_tag(type)) {
    return verdict_;
  }
  bool verdict = compute_(type);
  type_ = nullptr;
  if (!has_valid_tag(type)) assign_tag(type);
  // Handing out a tag may have made every tag start over.
  now = generation();
  if (now != 0 && has_valid_tag(type)) {
    type_ = type;
    tag_ = type->tp_version_tag;
    generation_ = now;
    verdict_ = verdict;
  }
  return verdict;
}

#endif

}  // namespace ombrix
