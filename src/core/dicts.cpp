#include "ombrix/dicts.hpp"

namespace ombrix {

namespace detail {
std::uint64_t dict_events = 0;
}

namespace {

DictMemoBase* memos = nullptr;  // all memos of this extension module
bool stamps_ready = false;  // set up, and known to notice attribute stores

// Looking up or storing a str key runs no Python code only when no key of the
// dict could compare equal to it through code of its own.
bool plain_keys(PyObject* dict) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

#if PY_VERSION_HEX >= 0x030C0000

int watcher_id = -1;

// Called by the interpreter before a watched dict changes or is freed.
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
  ++detail::dict_events;
  for (DictMemoBase* m = memos; m; m = m->next()) m->forget(dict);
  return 0;
}

// The interpreter has only a few watcher slots; when they are all taken, no
// stamp holds and every fact is read afresh.
bool prepare() {
  watcher_id = PyDict_AddWatcher(on_dict_event);
  if (watcher_id < 0) PyErr_Clear();
  return true;
}

#else

bool prepare() { return true; }

#endif

// Whether storing and deleting an attribute of an instance of a plain class
// takes a stamp of its instance dict away. 3.13.0 keeps such attributes
// beside the dict it has handed out and tells dict watchers nothing of
// those stores; there no stamp may hold.
bool attribute_stores_are_seen(bool* seen) {
  *seen = false;
  Ref name = Ref::steal(PyUnicode_FromString("_dict_stamp_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref ns = Ref::steal(PyDict_New());
  Ref a = Ref::steal(PyUnicode_InternFromString("a"));
  Ref b = Ref::steal(PyUnicode_InternFromString("b"));
  if (!name || !bases || !ns || !a || !b) return false;
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
  Ref obj = cls ? call(cls.get(), {}) : Ref();
  if (!obj || PyObject_SetAttr(obj.get(), a.get(), Py_None) < 0) return false;
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
  if (!dict) return false;
  DictMemo<bool, 1> memo;
  PyObject* d = dict.get();
  bool ok = memo.start(d) && PyObject_SetAttr(obj.get(), a.get(), Py_True) == 0 &&
            !memo.find(d);  // a value replaced
  ok = ok && memo.start(d) && PyObject_SetAttr(obj.get(), b.get(), Py_None) == 0 &&
       !memo.find(d);  // a key added
  ok = ok && memo.start(d) && PyObject_DelAttr(obj.get(), a.get()) == 0 &&
       !memo.find(d);  // a key removed
  if (PyErr_Occurred()) return false;
  *seen = ok;
  return true;
}

}  // namespace

bool dict_stamps_work() { return stamps_ready; }

bool init_dict_stamps() {
  if (stamps_ready) return true;
  if (!prepare()) return false;
  stamps_ready = true;  // for the probe
  bool seen = false;
  if (!attribute_stores_are_seen(&seen)) {
    stamps_ready = false;
    return false;
  }
  stamps_ready = seen;
  return true;
}

DictMemoBase::DictMemoBase() : next_(memos) {
  if (memos) memos->prev_ = this;
  memos = this;
}

DictMemoBase::~DictMemoBase() {
  if (prev_) prev_->next_ = next_;
  if (next_) next_->prev_ = prev_;
  if (memos == this) memos = next_;
}

bool DictStamp::take(PyObject* dict) {
  dict_ = nullptr;
  if (!stamps_ready || !PyDict_CheckExact(dict) || !plain_keys(dict)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  if (watcher_id < 0) return false;
  if (PyDict_Watch(watcher_id, dict) < 0) {
    PyErr_Clear();
    return false;
  }
#else
  version_ = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
  dict_ = dict;
  return true;
}

}  // namespace ombrix
