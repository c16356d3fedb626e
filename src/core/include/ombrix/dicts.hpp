// Noticing cheaply that a dict is still exactly as it was when last looked
// at, so that what was read from it may be used again without a lookup.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ombrix/ref.hpp"

namespace ombrix {

// Sets up what DictStamp needs to notice changes. Call once from the module's
// initialisation; false with an exception set on failure. Until it has
// succeeded, and on an interpreter that cannot tell (from 3.12 on, when every
// dict watcher slot is taken, and on 3.13.0, whose attribute stores bypass the
// instance dict it hands out), no stamp ever holds.
bool init_dict_stamps();
// Whether stamps can hold at all on this interpreter.
bool dict_stamps_work();

namespace detail {
extern std::uint64_t dict_events;
}
// How many changes of watched dicts the interpreter has told of (from 3.12
// on; always 0 before).
inline std::uint64_t dict_events() { return detail::dict_events; }

// A stamp of one dict. It holds while that very dict is alive and nothing has
// added, replaced or removed an entry, or cleared it, since the stamp was
// taken. Only exact dicts whose keys are all exact str are stamped: looking
// up a str in them, or storing under one, runs no Python code.
//
// Before 3.12 the stamp is the dict's version tag, which the interpreter
// renews from a process-wide counter on every change and on creation, so a
// new dict at the same address never shows an old tag. From 3.12 on, a dict
// watcher takes the stamp away before any change or deallocation; stamps live
// in DictMemo entries, which the watcher reaches.
class DictStamp {
 public:
  DictStamp() = default;
  DictStamp(const DictStamp&) = delete;
  DictStamp& operator=(const DictStamp&) = delete;

  bool holds(PyObject* dict) const {
#if PY_VERSION_HEX >= 0x030C0000
    return dict == dict_ && dict != nullptr;
#else
    return dict == dict_ && dict != nullptr &&
           reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == version_;
#endif
  }
  // Stamps `dict` as it is now. False (and no stamp) when it cannot be.
  bool take(PyObject* dict);
  // Stamps again after the holder's own store of a value under an exact str
  // key, which ran no Python code, into the dict it held the stamp of just
  // before.
  void renew(PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    version_ = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
    dict_ = dict;  // from 3.12 on the dict stays watched
  }
  void drop() { dict_ = nullptr; }

  // Drops the stamp if it is of `dict` (the watcher's part).
  void forget(PyObject* dict) {
    if (dict_ == dict) dict_ = nullptr;
  }

 private:
  PyObject* dict_ = nullptr;  // identity only, never dereferenced unless held
#if PY_VERSION_HEX < 0x030C0000
  std::uint64_t version_ = 0;
#endif
};

// Every DictMemo of this extension module, for the watcher to reach.
class DictMemoBase {
 public:
  DictMemoBase();
  virtual ~DictMemoBase();
  DictMemoBase(const DictMemoBase&) = delete;
  DictMemoBase& operator=(const DictMemoBase&) = delete;
  // Drops what is kept about `dict`, before it changes or goes.
  virtual void forget(PyObject* dict) = 0;
  DictMemoBase* next() const { return next_; }

 private:
  DictMemoBase* next_ = nullptr;
  DictMemoBase* prev_ = nullptr;
};

// Facts read from a few dicts, each kept while the dict's stamp holds. A
// dict maps to one of N entries by its address; a newer dict takes the entry
// over. `Facts` must be default-constructible: a fresh entry starts empty.
template <class Facts, std::size_t N = 8>
class DictMemo final : public DictMemoBase {
 public:
  // The facts about `dict`, while they still hold; else nullptr.
  Facts* find(PyObject* dict) {
    Entry& e = entry(dict);
    return e.stamp.holds(dict) ? &e.facts : nullptr;
  }
  // Starts the facts about `dict` afresh; nullptr when it cannot be stamped.
  Facts* start(PyObject* dict) {
    if (!dict_stamps_work()) return nullptr;
    Entry& e = entry(dict);
    e.facts = Facts();
    return e.stamp.take(dict) ? &e.facts : nullptr;
  }
  // dict[key] = value, the caller's own store under an exact str key, with
  // `facts` those of `dict` as they held just before (or nullptr). When
  // `quiet` (the value replaced lives on or frees nothing but memory) and
  // nothing else changed the dict meanwhile (a watcher of someone else's
  // could run code), the facts are kept and the caller brings them up to
  // date; otherwise the store itself has dropped them. False with an
  // exception set on failure.
  bool store(PyObject* dict, Facts* facts, PyObject* key, PyObject* value, bool quiet) {
    const std::uint64_t before = dict_events();
    if (PyDict_SetItem(dict, key, value) < 0) return false;
    Entry& e = entry(dict);
    if (quiet && facts == &e.facts && dict_events() - before <= 1) e.stamp.renew(dict);
    return true;
  }
  // Forgets the facts about `dict`.
  void drop(PyObject* dict) {
    Entry& e = entry(dict);
    if (e.stamp.holds(dict)) e.stamp.drop();
  }
  void forget(PyObject* dict) override { entry(dict).stamp.forget(dict); }

 private:
  struct Entry {
    DictStamp stamp;
    Facts facts;
  };
  Entry& entry(PyObject* dict) {
    return entries_[(reinterpret_cast<std::uintptr_t>(dict) >> 4) % N];
  }
  Entry entries_[N];
};

}  // namespace ombrix
