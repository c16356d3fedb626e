// Reading several entries of a dict in one pass over it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ombrix/ref.hpp"
#include "ombrix/state.hpp"
#include "ombrix/types.hpp"

namespace ombrix {

// A few names, found by hash: which of them a dict key is equal to.
template <std::size_t N>
class NameTable {
  static_assert(N > 0 && N < 32, "a handful of names");

 public:
  // Takes the names once they are interned (a module state's Names after
  // the module is set up).
  void build(const Name* const (&names)[N]) {
    for (unsigned char& b : buckets_) b = 0;
    for (std::size_t k = 0; k < N; ++k) {
      names_[k] = names[k];
      std::size_t i = static_cast<std::size_t>(names[k]->hash()) & (kBuckets - 1);
      while (buckets_[i]) i = (i + 1) & (kBuckets - 1);
      buckets_[i] = static_cast<unsigned char>(k + 1);
    }
  }
  const Name& operator[](std::size_t k) const { return *names_[k]; }

  // The index of the name equal to `key`, an exact str; N for none. Comparing
  // exact str runs no code.
  std::size_t find(PyObject* key) const {
    Py_hash_t h = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (h == -1) h = PyObject_Hash(key);
    for (std::size_t i = static_cast<std::size_t>(h) & (kBuckets - 1); buckets_[i];
         i = (i + 1) & (kBuckets - 1)) {
      const Name& name = *names_[buckets_[i] - 1];
      if (key == name.get() || (h == name.hash() && PyUnicode_Compare(key, name.get()) == 0)) {
        return buckets_[i] - 1;
      }
    }
    return N;
  }

 private:
  static constexpr std::size_t kBuckets = 64;
  const Name* names_[N] = {};
  unsigned char buckets_[kBuckets] = {};
};

// The values of a few names in one dict, read together. Looking a str up in
// a dict runs Python code only through a key that is not an exact str (its
// __eq__); a dict whose keys are all exact str is read here without running
// any, so no value read can have changed before the last is read, and the
// outcome is that of looking each name up in turn.
template <std::size_t N>
class DictScan {
 public:
  // Reads the names of `table` from `d`. False, and nothing read, when a key
  // of `d` is not an exact str.
  bool read(PyObject* d, const NameTable<N>& table) {
    clear();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d, &pos, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) {
        clear();
        return false;
      }
      // Borrowed only until this reference is taken: finding runs no code.
      const std::size_t k = table.find(key);
      if (k < N) values_[k] = Ref::borrow(value);
    }
    return true;
  }
  // The value of the table's name k, owned; empty when absent.
  const Ref& operator[](std::size_t k) const { return values_[k]; }
  // Sets the value of name k (owned) to `value`, a new reference to an
  // object the caller holds.
  void set(std::size_t k, PyObject* value) { values_[k] = Ref::borrow(value); }
  void clear() {
    for (Ref& v : values_) v.reset();
  }

 private:
  Ref values_[N];
};

}  // namespace ombrix

namespace ombrix {

class DictMemoBase;

// A value remembered about a dict. From 3.12 on it is owned: the dict's
// watcher lets it go before the dict changes or goes, so it never outlives
// the dict's own reference. Before 3.12 it is borrowed: the dict's version
// tag, which every change renews from a counter that never repeats, proves
// at each use that the dict still holds it. (Owning it there would keep a
// replaced value, say a queue's old deque and its items, alive past the
// moment Python frees it, and run its finalizers later, at another place.)
#if PY_VERSION_HEX >= 0x030C0000
using Remembered = Ref;
#else
class Remembered {
 public:
  static Remembered borrow(PyObject* p) { return Remembered(p); }
  Remembered() = default;
  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Remembered(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};
#endif

// How a module's memos learn that a dict changed.
//
// From 3.12 on, each module state registers a dict watcher of its own in its
// interpreter; the interpreter calls it before any change to a watched dict
// and before the dict is freed, and it passes the event on to the state's
// memos. Nothing is remembered where attribute stores bypass the dict that
// watchers watch (3.13.0, which a probe at start-up tells), nor when every
// watcher slot of the interpreter is taken. Before 3.12 a memo compares
// version tags instead.
class DictWatch : public StateMember {
 public:
  explicit DictWatch(ModuleState* owner) : StateMember(owner) {}
  ~DictWatch() override;

  // Whether no other extension watches `d`: then a change to it runs no
  // Python code through a watcher (this module's own run none). Read from
  // the dict's watcher bits, whose place a probe at start-up checks; false
  // when it could not.
#if PY_VERSION_HEX >= 0x030C0000
  bool unwatched_by_others(PyObject* d) const {
    if (!bits_known_) return false;
    const std::uint64_t bits = watcher_tag(d) & 0xFF;
    return bits == 0 || (id_ >= 0 && bits == (std::uint64_t{1} << id_));
  }
#else
  bool unwatched_by_others(PyObject*) const { return true; }  // there are no watchers
#endif

  // Whether memos may hold anything.
#if PY_VERSION_HEX >= 0x030C0000
  bool works() const { return id_ >= 0 && seen_; }
#else
  bool works() const { return true; }
#endif
  bool prepare() override;
  void clear() override;

  // Watches `d`; false (and no exception) when it cannot be watched.
  bool watch(PyObject* d);

  // An event, from the interpreter: every memo forgets `d`, except that the
  // store the holder is making itself (see Expected) is mirrored instead.
  void notify(PyObject* d, PyObject* key, PyObject* value);

  // The holder's own store of `value` under `key` in `d`, which its memo
  // mirrors (as `slot`) instead of forgetting `d`. Any other event, and a
  // second one like it, makes every memo forget `d`. Stores under way are
  // listed (threads can interleave them while a watcher's code runs).
  struct Expected {
    DictMemoBase* memo;
    PyObject* dict;
    PyObject* key;
    PyObject* value;
    std::size_t slot;
    bool seen = false;
    Expected* next = nullptr;
    Expected* prev = nullptr;
  };
  void expect(Expected* e) {
    e->next = expected_;
    if (expected_) expected_->prev = e;
    expected_ = e;
  }
  void done(Expected* e) {
    if (e->prev) e->prev->next = e->next;
    if (e->next) e->next->prev = e->prev;
    if (expected_ == e) expected_ = e->next;
  }

 private:
  friend class DictMemoBase;
  bool attribute_stores_are_seen();
#if PY_VERSION_HEX >= 0x030C0000
  bool watcher_bits_are_where_expected();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the tag's old name
  static std::uint64_t watcher_tag(PyObject* d) {
#if PY_VERSION_HEX >= 0x030E0000
    return reinterpret_cast<PyDictObject*>(d)->_ma_watcher_tag;
#else
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#endif
  }
#pragma GCC diagnostic pop
#endif
  DictMemoBase* memos_ = nullptr;
  Expected* expected_ = nullptr;  // the stores under way
  PyObject* probe_ = nullptr;  // the probe's dict, while it runs
  int probe_events_ = 0;
  int id_ = -1;    // the watcher's id in this interpreter
  int slot_ = -1;  // the callback it was registered with
  bool seen_ = false;
  bool bits_known_ = false;  // watcher bits in the low byte of the tag
};

// What a memo keeps per dict, for the watcher to reach.
class DictMemoBase : public StateMember {
 public:
  DictMemoBase(ModuleState* owner, DictWatch* watch);
  // Drops what is kept about `d`, before it changes or goes.
  virtual void forget(PyObject* d) = 0;
  // Takes `value` as the new value of `slot` of what is kept about `d`.
  virtual void mirror(PyObject* d, std::size_t slot, PyObject* value) = 0;
  DictMemoBase* next_memo() const { return next_; }

 protected:
  DictWatch* watch_;

 private:
  DictMemoBase* next_ = nullptr;
};

// Facts read from a few dicts, each kept while its dict is unchanged. A dict
// maps to one of N entries by its address; a newer dict takes the entry
// over. Only dicts whose keys are all exact str are remembered, so that
// reading more of them runs no Python code.
//
// `Facts` is default-constructible (a fresh entry starts empty), holds its
// values as Remembered, and has `void mirror(std::size_t slot, PyObject*
// value)` and `int traverse(visitproc, void*)`. It holds only values of its
// dict, and the memo keeps it so: the facts go before the dict changes or
// goes (so letting them go frees nothing and runs no code), and the holder's
// own stores are mirrored.
template <class Facts, std::size_t N = 8>
class DictMemo final : public DictMemoBase {
 public:
  DictMemo(ModuleState* owner, DictWatch* watch) : DictMemoBase(owner, watch) {}

  // The facts about `d`, while they hold; else nullptr.
  Facts* find(PyObject* d) {
    Entry& e = entry(d);
    return e.dict == d && unchanged(e, d) ? &e.facts : nullptr;
  }
  // Starts the facts about `d` afresh; nullptr when it cannot be remembered.
  Facts* start(PyObject* d) {
    if (!watch_->works() || !PyDict_CheckExact(d)) return nullptr;
    Entry& e = entry(d);
    e.dict = nullptr;
    e.facts = Facts();
    if (!plain_keys(d) || !watch_->watch(d)) return nullptr;
    e.dict = d;
    stamp(e, d);
    return &e.facts;
  }
  // d[key] = value, the holder's own store, mirrored as `slot` in what is
  // remembered about `d` when nothing else came with it. False with an
  // exception set on failure.
  bool store(PyObject* d, std::size_t slot, PyObject* key, PyObject* value) {
    if (!find(d)) return PyDict_SetItem(d, key, value) == 0;
#if PY_VERSION_HEX >= 0x030C0000
    DictWatch::Expected expected{this, d, key, value, slot};
    watch_->expect(&expected);
    const int r = PyDict_SetItem(d, key, value);
    watch_->done(&expected);
    if (r < 0 || !expected.seen) forget(d);
    return r == 0;
#else
    // Without watchers only the replaced value's release can run code: the
    // keys are exact str. Borrowed: nothing runs before it is looked at.
    PyObject* old = PyDict_GetItemWithError(d, key);
    const bool quiet = !old || release_runs_no_code(old);
    if (PyDict_SetItem(d, key, value) < 0) {
      forget(d);
      return false;
    }
    Entry& e = entry(d);
    if (quiet && e.dict == d) {
      stamp(e, d);
      e.facts.mirror(slot, value);
    } else {
      forget(d);
    }
    return true;
#endif
  }
  void mirror(PyObject* d, std::size_t slot, PyObject* value) override {
    Entry& e = entry(d);
    if (e.dict == d) e.facts.mirror(slot, value);
  }
  void forget(PyObject* d) override {
    Entry& e = entry(d);
    if (e.dict != d) return;
    e.dict = nullptr;
    e.facts = Facts();  // the dict still holds every value
  }
  int traverse(visitproc visit, void* arg) override {
#if PY_VERSION_HEX >= 0x030C0000
    for (Entry& e : entries_) {
      if (int r = e.facts.traverse(visit, arg)) return r;
    }
#else
    (void)visit;
    (void)arg;
#endif
    return 0;
  }
  void clear() override {
    for (Entry& e : entries_) {
      e.dict = nullptr;
      e.facts = Facts();
    }
  }

 private:
  struct Entry {
    PyObject* dict = nullptr;  // identity only
#if PY_VERSION_HEX < 0x030C0000
    std::uint64_t tag = 0;
#endif
    Facts facts;
  };
#if PY_VERSION_HEX >= 0x030C0000
  static bool unchanged(const Entry&, PyObject*) { return true; }  // the watcher forgets
  static void stamp(Entry&, PyObject*) {}
#else
  static bool unchanged(const Entry& e, PyObject* d) {
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag == e.tag;
  }
  static void stamp(Entry& e, PyObject* d) {
    e.tag = reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
  }
#endif
  static bool plain_keys(PyObject* d) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d, &pos, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
  }
  Entry& entry(PyObject* d) { return entries_[(reinterpret_cast<std::uintptr_t>(d) >> 4) % N]; }
  Entry entries_[N];
};

}  // namespace ombrix
