#include "ombrix/dicts.hpp"

#include <atomic>
#include <mutex>
#include <utility>

#include "ombrix/module.hpp"

namespace ombrix {

DictMemoBase::DictMemoBase(ModuleState* owner, DictWatch* watch)
    : StateMember(owner), watch_(watch), next_(watch->memos_) {
  watch->memos_ = this;
}

void DictWatch::notify(PyObject* d, PyObject* key, PyObject* value) {
  if (d == probe_) ++probe_events_;
  for (Expected* e = expected_; e; e = e->next) {
    if (e->seen || d != e->dict || key != e->key || value != e->value) continue;
    e->seen = true;
    for (DictMemoBase* m = memos_; m; m = m->next_memo()) {
      if (m == e->memo) {
        m->mirror(d, e->slot, value);
      } else {
        m->forget(d);
      }
    }
    return;
  }
  for (DictMemoBase* m = memos_; m; m = m->next_memo()) m->forget(d);
}

#if PY_VERSION_HEX >= 0x030C0000

namespace {

// A watcher callback gets no context, so each module state that watches
// registers a callback of its own: one of a fixed set, each of which finds
// its state in this table. Only the pointers are shared between
// interpreters, each slot being owned by one state at a time.
constexpr int kSlots = 32;
std::atomic<DictWatch*> owners[kSlots];
std::mutex owners_lock;

template <int I>
int callback(PyDict_WatchEvent event, PyObject* d, PyObject* key, PyObject* value) {
  (void)event;
  if (DictWatch* w = owners[I].load(std::memory_order_acquire)) w->notify(d, key, value);
  return 0;
}

template <int... I>
constexpr PyDict_WatchCallback callbacks_of(std::integer_sequence<int, I...>, int i) {
  constexpr PyDict_WatchCallback table[] = {&callback<I>...};
  return table[i];
}
PyDict_WatchCallback callback_for(int slot) {
  return callbacks_of(std::make_integer_sequence<int, kSlots>(), slot);
}

}  // namespace

// Whether storing, adding and deleting an attribute of an instance of a
// plain class reaches the watcher of the dict that attribute access hands
// out. 3.13.0 keeps such attributes beside that dict and tells watchers
// nothing of those stores; there nothing may be remembered.
bool DictWatch::attribute_stores_are_seen() {
  Ref name = Ref::steal(PyUnicode_FromString("_dict_watch_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref ns = Ref::steal(PyDict_New());
  Ref a = Ref::steal(PyUnicode_InternFromString("a"));
  Ref b = Ref::steal(PyUnicode_InternFromString("b"));
  if (!name || !bases || !ns || !a || !b) return false;
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
  Ref obj = cls ? call(cls.get(), {}) : Ref();
  if (!obj || PyObject_SetAttr(obj.get(), a.get(), Py_None) < 0) return false;
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
  if (!dict || !watch(dict.get())) return false;
  probe_ = dict.get();
  probe_events_ = 0;
  bool ok = PyObject_SetAttr(obj.get(), a.get(), Py_True) == 0 && probe_events_ == 1;  // replaced
  ok = ok && PyObject_SetAttr(obj.get(), b.get(), Py_None) == 0 && probe_events_ == 2;  // added
  ok = ok && PyObject_DelAttr(obj.get(), a.get()) == 0 && probe_events_ == 3;           // removed
  probe_ = nullptr;
  return ok;
}

// Whether a dict's watchers are the bits of the low byte of its tag: a
// fresh dict has none, watching it sets this watcher's bit, unwatching
// clears it.
bool DictWatch::watcher_bits_are_where_expected() {
  if (id_ < 0 || id_ > 7) return false;
  Ref d = Ref::steal(PyDict_New());
  if (!d) return false;
  const std::uint64_t mine = std::uint64_t{1} << id_;
  if ((watcher_tag(d.get()) & 0xFF) != 0 || PyDict_Watch(id_, d.get()) < 0) return false;
  const bool set = (watcher_tag(d.get()) & 0xFF) == mine;
  if (PyDict_Unwatch(id_, d.get()) < 0) return false;
  return set && (watcher_tag(d.get()) & 0xFF) == 0;
}

bool DictWatch::prepare() {
  {
    std::lock_guard<std::mutex> guard(owners_lock);
    for (int i = 0; i < kSlots; ++i) {
      if (owners[i].load(std::memory_order_relaxed)) continue;
      const int id = PyDict_AddWatcher(callback_for(i));
      if (id < 0) {
        PyErr_Clear();  // every watcher slot of the interpreter is taken
        return true;
      }
      owners[i].store(this, std::memory_order_release);
      slot_ = i;
      id_ = id;
      break;
    }
  }
  if (id_ < 0) return true;
  seen_ = attribute_stores_are_seen();
  if (!PyErr_Occurred()) bits_known_ = watcher_bits_are_where_expected();
  return !PyErr_Occurred();
}

bool DictWatch::watch(PyObject* d) {
  if (id_ < 0) return false;
  if (PyDict_Watch(id_, d) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

void DictWatch::clear() {
  for (DictMemoBase* m = memos_; m; m = m->next_memo()) m->clear();
  if (id_ >= 0) {
    if (PyDict_ClearWatcher(id_) < 0) PyErr_Clear();
    id_ = -1;
  }
  if (slot_ >= 0) {
    std::lock_guard<std::mutex> guard(owners_lock);
    owners[slot_].store(nullptr, std::memory_order_release);
    slot_ = -1;
  }
}

#else

bool DictWatch::prepare() { return true; }
bool DictWatch::watch(PyObject*) { return true; }  // version tags need no watching
void DictWatch::clear() {
  for (DictMemoBase* m = memos_; m; m = m->next_memo()) m->clear();
}

#endif

DictWatch::~DictWatch() { clear(); }

}  // namespace ombrix
