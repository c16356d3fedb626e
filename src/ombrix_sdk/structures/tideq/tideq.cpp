// ombrix_sdk.structures.tideq: TideQueue, a drop-oldest rolling queue on top
// of queue.Queue.
//
// The methods follow the Python algorithm step by step on the state that
// queue.Queue keeps. Where a step would call one of the standard hooks
// (`_qsize`, `_put`, `_get`) or a standard Condition, and nothing has been
// overridden, the step is done directly on the underlying deque, dict and
// lock instead; see `FastView` for when that is allowed.
#include "ombrix/dicts.hpp"
#include "ombrix/function.hpp"
#include "ombrix/lock.hpp"
#include "ombrix/methods.hpp"
#include "ombrix/module.hpp"
#include "ombrix/types.hpp"

namespace {

using namespace ombrix;

Interned s_maxsize("maxsize"), s_queue("queue"), s_mutex("mutex"), s_not_empty("not_empty"),
    s_all_tasks_done("all_tasks_done"), s_unfinished_tasks("unfinished_tasks"), s_debug("debug"),
    s_logger("logger"), s_qsize("_qsize"), s_put("_put"), s_get("_get"), s_warning("warning"),
    s_notify("notify"), s_notify_all("notify_all"), s_is_owned("_is_owned"), s_lock("_lock"),
    s_waiters("_waiters"), s_popleft("popleft"), s_get_logger("get_logger"), s_list("list"),
    s_init("__init__"), s_append("append"), s_clear("clear"), s_queue_class("Queue"),
    s_throwing_away("Throwing away element"), s_rq("RQ: ");

// The standard-library objects the shortcuts stand in for, taken at import.
struct Stdlib {
  PyObject* queue_qsize;  // queue.Queue._qsize, _put, _get
  PyObject* queue_put;
  PyObject* queue_get;
  PyTypeObject* deque;
  BuiltinMethod deque_append;  // methods of collections.deque
  BuiltinMethod deque_popleft;
  BuiltinMethod deque_clear;
  PyTypeObject* condition;  // threading.Condition and its methods
  PyObject* condition_notify;
  PyObject* condition_notify_all;
  PyObject* condition_is_owned;
  PyTypeObject* lock;  // type of threading.Lock()
};
Stdlib stdlib;
PyObject* tideq_class;  // for super() in __init__

bool queue_type_is_standard(PyTypeObject* type) {
  if (!generic_attributes(type)) return false;
  if (type_lookup(type, s_qsize) != stdlib.queue_qsize ||
      type_lookup(type, s_put) != stdlib.queue_put ||
      type_lookup(type, s_get) != stdlib.queue_get) {
    return false;
  }
  // Instance state must come from the instance dict, not from class-level
  // descriptors.
  for (PyObject* name : {s_maxsize.get(), s_queue.get(), s_mutex.get(), s_not_empty.get(),
                         s_all_tasks_done.get(), s_unfinished_tasks.get(), s_debug.get(),
                         s_logger.get()}) {
    if (type_lookup(type, name)) return false;
  }
  return true;
}
TypeVerdict standard_queue(queue_type_is_standard);

bool condition_type_is_standard(PyTypeObject* type) {
  return generic_attributes(type) && type_lookup(type, s_notify) == stdlib.condition_notify &&
         type_lookup(type, s_notify_all) == stdlib.condition_notify_all &&
         type_lookup(type, s_is_owned) == stdlib.condition_is_owned &&
         !type_lookup(type, s_lock) && !type_lookup(type, s_waiters);
}
TypeVerdict standard_condition(condition_type_is_standard);

// The instance attributes the methods read.
enum Slot : unsigned {
  kQueue,
  kMaxsize,
  kMutex,
  kNotEmpty,
  kAllTasksDone,
  kUnfinishedTasks,
  kDebug,
  kLogger,
  kSlots
};

PyObject* slot_name(Slot slot) {
  static const Interned* const names[kSlots] = {&s_queue,           &s_maxsize,   &s_mutex,
                                                &s_not_empty,       &s_all_tasks_done,
                                                &s_unfinished_tasks, &s_debug,    &s_logger};
  return names[slot]->get();
}

// What a queue's instance dict was found to hold, kept while it stays
// unmodified: that its keys are plain str and name no hook, and the values of
// the slots read since.
struct QueueFacts {
  unsigned known = 0;             // a bit per slot read
  PyObject* values[kSlots] = {};  // borrowed from the dict; NULL when absent
};
DictMemo<QueueFacts> queue_memo;

// The instance dict of a queue whose class keeps queue.Queue's hooks and
// plain instance attributes, and whose instance overrides no hook. Then
// reading or writing an attribute is a dict operation, and `_qsize`, `_put`
// and `_get` are len, append and popleft on `self.queue` when that is a
// deque. Otherwise (no dict) every step goes through the real attribute
// access and the real hooks. Python code may replace `self.queue` or even
// `self.__dict__`: refresh the view after any call that may run it (a hook,
// the logger, a comparison or truth test of an object that is not a plain
// int or bool, the release of an item), before the view is used again.
// What was read from an unchanged dict is not looked up again.
struct FastView {
  Ref dict;
  PyObject* deque_ = nullptr;  // borrowed from dict
  explicit FastView(PyObject* self) { refresh(self); }
  void refresh(PyObject* self) {
    dict = Ref();
    deque_ = nullptr;
    facts_ = nullptr;
    if (!standard_queue.check(Py_TYPE(self))) return;
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d) {
      PyErr_Clear();
      return;
    }
    facts_ = queue_memo.find(d.get());
    if (!facts_) {
      facts_ = queue_memo.start(d.get());
      if (dict_get(d.get(), s_qsize) || dict_get(d.get(), s_put) || dict_get(d.get(), s_get)) {
        queue_memo.drop(d.get());
        facts_ = nullptr;
        return;
      }
    }
    dict = d;
    PyObject* q = get(kQueue);
    if (q && Py_TYPE(q) == stdlib.deque) deque_ = q;
  }
  // The deque behind the hooks, when they may be short-circuited.
  PyObject* deque() const { return deque_; }

  // dict[name] as a borrowed reference; NULL when absent.
  PyObject* get(Slot slot) const {
    QueueFacts* facts = remembered();
    if (facts && (facts->known & (1u << slot))) return facts->values[slot];
    PyObject* value = dict_get(dict.get(), slot_name(slot));
    if (facts) {
      facts->values[slot] = value;
      facts->known |= 1u << slot;
    }
    return value;
  }
  // Reads a slot into what is remembered of the dict, if anything is.
  void remember(Slot slot) const {
    if (remembered()) get(slot);
  }
  // dict[name] = value.
  bool set(Slot slot, PyObject* value) const {
    // The store runs no Python code when the keys are plain and the value it
    // replaces lives on or frees nothing but memory.
    QueueFacts* facts = remembered();
    const bool quiet = facts && (facts->known & (1u << slot)) &&
                       (!facts->values[slot] || release_runs_no_code(facts->values[slot]));
    if (!queue_memo.store(dict.get(), facts, slot_name(slot), value, quiet)) return false;
    if (facts && queue_memo.find(dict.get()) == facts) facts->values[slot] = value;
    return true;
  }

 private:
  // What is remembered of the dict, while it still holds.
  QueueFacts* remembered() const {
    return facts_ && queue_memo.find(dict.get()) == facts_ ? facts_ : nullptr;
  }
  QueueFacts* facts_ = nullptr;  // of dict, when it could be remembered
};

// self.mutex: for a standard queue straight from its dict, or from what is
// remembered of it while the dict is unchanged.
Ref mutex_of(PyObject* self) {
  if (standard_queue.check(Py_TYPE(self))) {
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d) PyErr_Clear();
    const QueueFacts* facts = d ? queue_memo.find(d.get()) : nullptr;
    PyObject* mutex = nullptr;
    if (facts && (facts->known & (1u << kMutex))) {
      mutex = facts->values[kMutex];
    } else if (d) {
      mutex = dict_get(d.get(), s_mutex);
    }
    if (mutex) return Ref::borrow(mutex);
  }
  return getattr(self, s_mutex);  // also raises the proper AttributeError
}

Ref attr(PyObject* self, const FastView& view, Slot slot) {
  if (view.dict) {
    if (PyObject* v = view.get(slot)) return Ref::borrow(v);
  }
  return getattr(self, slot_name(slot));  // also raises the proper AttributeError
}

bool set_attr(PyObject* self, const FastView& view, Slot slot, PyObject* value) {
  if (view.dict) return view.set(slot, value);
  return PyObject_SetAttr(self, slot_name(slot), value) == 0;
}

// self._get()
Ref hook_get(PyObject* self, const FastView& view) {
  if (PyObject* q = view.deque()) return stdlib.deque_popleft(q);
  return call_method(self, s_get, {});
}

// self._put(item)
bool hook_put(PyObject* self, const FastView& view, PyObject* item) {
  if (PyObject* q = view.deque()) return static_cast<bool>(stdlib.deque_append(q, item));
  return static_cast<bool>(call_method(self, s_put, {item}));
}

// True when the truth value of `o` is known without running Python code.
bool plain_truth(PyObject* o) {
  return o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o);
}

// self._qsize() == self.maxsize, as a truth value (-1 on error). Sets *ran
// when Python code may have run.
int is_full(PyObject* self, const FastView& view, bool* ran) {
  Ref maxsize = attr(self, view, kMaxsize);
  if (!maxsize) return -1;
  PyObject* q = view.deque();
  if (q && PyLong_CheckExact(maxsize.get())) {
    int overflow = 0;
    long long limit = PyLong_AsLongLongAndOverflow(maxsize.get(), &overflow);
    if (limit == -1 && PyErr_Occurred()) return -1;
    return !overflow && PyObject_Size(q) == limit;
  }
  *ran = true;
  Ref size = q ? Ref::steal(PyLong_FromSsize_t(PyObject_Size(q))) : call_method(self, s_qsize, {});
  if (!size) return -1;
  Ref equal = Ref::steal(PyObject_RichCompare(size.get(), maxsize.get(), Py_EQ));
  return equal ? truth(equal.get()) : -1;
}

// What a Condition's instance dict was found to hold, kept while it stays
// unmodified (waiting on it changes the deque, not the dict).
struct ConditionFacts {
  PyObject* waiters = nullptr;  // borrowed from the dict; NULL when absent
  PyObject* lock = nullptr;
  bool own_notify = false;      // `notify` or `_is_owned` set on the instance
  bool own_notify_all = false;  // `notify_all` set on the instance
};
DictMemo<ConditionFacts> condition_memo;

ConditionFacts read_condition(PyObject* dict) {
  ConditionFacts facts;
  facts.waiters = dict_get(dict, s_waiters);
  facts.lock = dict_get(dict, s_lock);
  facts.own_notify = dict_get(dict, s_is_owned) || dict_get(dict, s_notify);
  facts.own_notify_all = dict_get(dict, s_notify_all) != nullptr;
  return facts;
}

// cond.notify() and cond.notify_all() do nothing when nobody waits on a
// standard Condition over the mutex this thread holds.
bool notify_is_noop(PyObject* cond, PyObject* mutex, PyObject* method) {
  if (Py_TYPE(cond) != stdlib.condition || Py_TYPE(mutex) != stdlib.lock ||
      !standard_condition.check(Py_TYPE(cond))) {
    return false;
  }
  Ref d = Ref::steal(PyObject_GenericGetDict(cond, nullptr));
  if (!d) {
    PyErr_Clear();
    return false;
  }
  const ConditionFacts* facts = condition_memo.find(d.get());
  if (!facts) {
    if (ConditionFacts* fresh = condition_memo.start(d.get())) {
      *fresh = read_condition(d.get());
      facts = fresh;
    }
  }
  // Without facts, only what is needed is read.
  PyObject* waiters = facts ? facts->waiters : dict_get(d.get(), s_waiters);
  if (!waiters || Py_TYPE(waiters) != stdlib.deque || PyObject_Size(waiters) != 0) return false;
  // notify_all() goes through notify(); both check ownership via _is_owned.
  if (facts) {
    return facts->lock == mutex && !facts->own_notify &&
           (method == s_notify || !facts->own_notify_all);
  }
  return dict_get(d.get(), s_lock) == mutex && !dict_get(d.get(), s_is_owned) &&
         !dict_get(d.get(), s_notify) && (method == s_notify || !dict_get(d.get(), method));
}

bool notify(PyObject* self, const FastView& view, Slot cond_slot, PyObject* method,
            PyObject* mutex) {
  Ref cond = attr(self, view, cond_slot);
  if (!cond) return false;
  if (notify_is_noop(cond.get(), mutex, method)) return true;
  return static_cast<bool>(call_method(cond.get(), method, {}));
}

// --- TideQueue.__init__ --------------------------------------------------------

PyObject* TideQueue_init(NativeFunction* fn, PyObject* const* argv) {
  PyObject *self = argv[0], *batch_size = argv[1], *debug = argv[2];
  // A capacity below one would make every put fail (0) or never drop (< 0).
  Ref one = Ref::steal(PyLong_FromLong(1));
  int too_small = one ? PyObject_RichCompareBool(batch_size, one.get(), Py_LT) : -1;
  if (too_small < 0) return nullptr;
  if (too_small) {
    PyErr_Format(PyExc_ValueError, "batch_size must be at least 1, got %S", batch_size);
    return nullptr;
  }
  Ref base = call(reinterpret_cast<PyObject*>(&PySuper_Type), {tideq_class, self});
  Ref base_init = base ? getattr(base.get(), s_init) : Ref();
  Ref kwnames = Ref::steal(Py_BuildValue("(s)", "maxsize"));
  if (!base_init || !kwnames || !call_kw(base_init.get(), {batch_size}, kwnames.get())) {
    return nullptr;
  }
  if (PyObject_SetAttr(self, s_debug, debug) < 0) return nullptr;
  int on = truth(debug);
  if (on < 0) return nullptr;
  if (on) {
    Ref get_logger = Ref::borrow(global(fn, s_get_logger));
    Ref logger = get_logger ? call(get_logger.get(), {s_rq}) : Ref();
    if (!logger || PyObject_SetAttr(self, s_logger, logger.get()) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

// --- TideQueue.put ---------------------------------------------------------------

PyObject* put_locked(PyObject* self, PyObject* item, PyObject* mutex, FastView& view) {
  bool ran = false;
  int full = is_full(self, view, &ran);
  if (full < 0) return nullptr;
  if (ran) view.refresh(self);
  if (full) {
    Ref debug = attr(self, view, kDebug);
    int on = debug ? truth(debug.get()) : -1;
    if (on < 0) return nullptr;
    if (!plain_truth(debug.get())) view.refresh(self);
    if (on) {
      Ref logger = attr(self, view, kLogger);
      if (!logger || !call_method(logger.get(), s_warning, {s_throwing_away})) return nullptr;
      view.refresh(self);
    }
    Ref dropped = hook_get(self, view);
    if (!dropped) return nullptr;
    const bool quiet = release_runs_no_code(dropped.get());
    dropped = Ref();  // released here, as the discarded result would be
    if (!quiet) view.refresh(self);
  }
  const bool hook = !view.deque();
  if (!hook_put(self, view, item)) return nullptr;
  if (hook) view.refresh(self);
  Ref count = attr(self, view, kUnfinishedTasks);
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref next = count && one ? Ref::steal(PyNumber_InPlaceAdd(count.get(), one.get())) : Ref();
  if (!next) return nullptr;
  const bool plain_count = PyLong_CheckExact(count.get());
  if (!plain_count) view.refresh(self);
  if (!set_attr(self, view, kUnfinishedTasks, next.get())) return nullptr;
  if (!plain_count) {
    count = Ref();  // the replaced value goes now, as in the store
    view.refresh(self);
  }
  if (!notify(self, view, kNotEmpty, s_notify, mutex)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* TideQueue_put(NativeFunction*, PyObject* const* argv) {
  PyObject *self = argv[0], *item = argv[1];  // block and timeout are ignored
  Ref mutex = mutex_of(self);
  if (!mutex) return nullptr;
  WithLock guard(mutex.get());
  if (!guard) return nullptr;
  FastView view(self);  // read under the lock: waiting for it lets others run
  view.remember(kMutex);  // for the next call's mutex_of
  return guard.leave(put_locked(self, item, mutex.get(), view));
}

// --- TideQueue.drain_fast --------------------------------------------------------

// Pops the n oldest items of `q` (self.queue), of `size` items, into a new
// list.
Ref take(PyObject* q, Py_ssize_t n, Py_ssize_t size) {
  if (Py_TYPE(q) == stdlib.deque && n == size) {
    // Everything: copy out in order, then empty the deque in one step.
    Ref items = Ref::steal(PySequence_List(q));
    if (!items || !stdlib.deque_clear(q)) return Ref();
    return items;
  }
  if (Py_TYPE(q) == stdlib.deque) {
    Ref items = Ref::steal(PyList_New(n));
    if (!items) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = stdlib.deque_popleft(q).release();
      if (!item) return Ref();  // the slots not filled yet are empty
      PyList_SET_ITEM(items.get(), i, item);
    }
    return items;
  }
  Ref items = Ref::steal(PyList_New(0));
  if (!items || n == 0) return items;
  Ref popleft = getattr(q, s_popleft);
  if (!popleft) return Ref();
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = call(popleft.get(), {});
    if (!item || PyList_Append(items.get(), item.get()) < 0) return Ref();
  }
  return items;
}

// The number of items to take: min(len(self.queue), max_items), and never
// below zero. `negative` tells whether max_items was below zero.
Py_ssize_t count_to_take(Py_ssize_t size, PyObject* max_items, bool* negative) {
  int overflow = 0;
  long long wanted = PyLong_AsLongLongAndOverflow(max_items, &overflow);
  *negative = overflow < 0 || (overflow == 0 && wanted < 0);
  if (overflow > 0 || (overflow == 0 && wanted >= size)) return size;
  if (*negative) return 0;
  return static_cast<Py_ssize_t>(wanted);
}

// unfinished_tasks -= n (stopping at zero), waking join() at zero.
bool account_taken(PyObject* self, FastView& view, Py_ssize_t n, PyObject* mutex) {
  Ref count = attr(self, view, kUnfinishedTasks);
  int pending = count ? truth(count.get()) : -1;
  if (pending <= 0) return pending == 0;
  // Arithmetic and comparisons on anything but an int may run Python code.
  const bool plain_count = PyLong_CheckExact(count.get());
  Ref taken = Ref::steal(PyLong_FromSsize_t(n));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref left = taken && zero ? Ref::steal(PyNumber_InPlaceSubtract(count.get(), taken.get())) : Ref();
  if (!left) return false;
  // Items dropped by put were never counted down, so task_done() calls for
  // them can leave fewer pending tasks than items taken: stop at zero.
  int negative = PyObject_RichCompareBool(left.get(), zero.get(), Py_LT);
  if (negative < 0) return false;
  if (negative) left = zero;
  if (!plain_count) view.refresh(self);
  if (!set_attr(self, view, kUnfinishedTasks, left.get())) return false;
  Ref done = Ref::steal(PyObject_RichCompare(left.get(), zero.get(), Py_EQ));
  int is_done = done ? truth(done.get()) : -1;
  if (is_done <= 0) return is_done == 0;
  if (!plain_count) {
    count = Ref();
    view.refresh(self);
  }
  return notify(self, view, kAllTasksDone, s_notify_all, mutex);
}

// The locals of drain_fast that hold taken items. As in the Python
// algorithm, they live until the call returns, so that dropping the items
// (and whatever their __del__ does) happens after the lock is released.
struct Taken {
  Ref items;
  Ref result;
};

PyObject* drain_locked(NativeFunction* fn, PyObject* const* argv, PyObject* mutex, Taken& taken) {
  PyObject *self = argv[0], *max_items = argv[1], *dest_factory = argv[2],
           *adjust_unfinished = argv[3];
  FastView view(self);
  Ref q = attr(self, view, kQueue);
  if (!q) return nullptr;
  Py_ssize_t size = PyObject_Size(q.get());
  if (size < 0) return nullptr;
  bool negative = false;
  Py_ssize_t n = count_to_take(size, max_items, &negative);
  taken.items = take(q.get(), n, size);
  if (!taken.items) return nullptr;

  PyObject* list_type = global(fn, s_list);
  if (!list_type) return nullptr;
  if (dest_factory == list_type) {
    taken.result = taken.items;
  } else {
    taken.result = call(dest_factory, {taken.items.get()});
    if (!taken.result) return nullptr;
  }
  // A negative max_items takes nothing and leaves the counter alone.
  int adjust = truth(adjust_unfinished);
  if (adjust < 0) return nullptr;
  if (adjust && !negative) {
    // len(), the hooks of a deque subclass, dest_factory or the truth test
    // may have run Python code.
    view.refresh(self);
    if (!account_taken(self, view, n, mutex)) return nullptr;
  }
  return Ref(taken.result).release();
}

PyObject* TideQueue_drain_fast(NativeFunction* fn, PyObject* const* argv) {
  Ref mutex = mutex_of(argv[0]);
  if (!mutex) return nullptr;
  Taken taken;  // outlives the lock
  WithLock guard(mutex.get());
  if (!guard) return nullptr;
  return guard.leave(drain_locked(fn, argv, mutex.get(), taken));
}

// --- module ----------------------------------------------------------------------

const FunctionSpec init_spec{
    "__init__", "TideQueue.__init__", nullptr,
    {{"self"}, {"batch_size", "int", Exact::Int}, {"debug"}},
    "None", TideQueue_init};

const FunctionSpec put_spec{
    "put", "TideQueue.put", nullptr,
    {{"self"}, {"item", "Any"}, {"block", "bool"}, {"timeout", "float | None"}},
    "None", TideQueue_put};

const FunctionSpec drain_fast_spec{
    "drain_fast", "TideQueue.drain_fast",
    "\n"
    "        Bulk-move up to *max_items* items out of *self* under its\n"
    "        internal mutex.  Faster than calling `get_nowait()` in a loop\n"
    "        because the lock is acquired only once instead of once per item.\n"
    "        Typical speedup is ~2-3x in single-threaded use; higher under heavy\n"
    "        multi-threaded contention where repeated lock acquire/release dominates.\n"
    "\n"
    "        *adjust_unfinished* keeps `queue.join()` semantics intact.\n"
    "        ",
    {{"self"},
     {"max_items", "int", Exact::Int},
     {"dest_factory", nullptr, Exact::Any, Kind::KeywordOnly},
     {"adjust_unfinished", nullptr, Exact::Any, Kind::KeywordOnly}},
    nullptr, TideQueue_drain_fast};

bool capture_stdlib(PyObject* queue_module) {
  Ref queue_class = getattr(queue_module, s_queue_class);
  Ref collections = import_module("collections");
  Ref threading = import_module("threading");
  if (!queue_class || !collections || !threading) return false;
  Ref deque = Ref::steal(PyObject_GetAttrString(collections.get(), "deque"));
  Ref condition = Ref::steal(PyObject_GetAttrString(threading.get(), "Condition"));
  Ref lock = Ref::steal(PyObject_CallMethod(threading.get(), "Lock", nullptr));
  if (!deque || !condition || !lock) return false;
  auto* qt = reinterpret_cast<PyTypeObject*>(queue_class.get());
  auto* dt = reinterpret_cast<PyTypeObject*>(deque.get());
  auto* ct = reinterpret_cast<PyTypeObject*>(condition.get());
  stdlib.queue_qsize = type_lookup(qt, s_qsize);
  stdlib.queue_put = type_lookup(qt, s_put);
  stdlib.queue_get = type_lookup(qt, s_get);
  PyObject* deque_append = type_lookup(dt, s_append);
  PyObject* deque_popleft = type_lookup(dt, s_popleft);
  PyObject* deque_clear = type_lookup(dt, s_clear);
  stdlib.condition_notify = type_lookup(ct, s_notify);
  stdlib.condition_notify_all = type_lookup(ct, s_notify_all);
  stdlib.condition_is_owned = type_lookup(ct, s_is_owned);
  for (PyObject* o : {stdlib.queue_qsize, stdlib.queue_put, stdlib.queue_get, deque_append,
                      deque_popleft, deque_clear, stdlib.condition_notify,
                      stdlib.condition_notify_all, stdlib.condition_is_owned}) {
    if (!o) {
      PyErr_SetString(PyExc_ImportError, "unexpected standard library layout");
      return false;
    }
    Py_INCREF(o);  // kept for the life of the process
  }
  if (!stdlib.deque_append.init(dt, deque_append) ||
      !stdlib.deque_popleft.init(dt, deque_popleft) || !stdlib.deque_clear.init(dt, deque_clear)) {
    return false;
  }
  stdlib.deque = dt;
  stdlib.condition = ct;
  stdlib.lock = Py_TYPE(lock.get());
  Py_INCREF(dt);
  Py_INCREF(ct);
  Py_INCREF(stdlib.lock);
  return true;
}

PyModuleDef tideq_module = {PyModuleDef_HEAD_INIT, "ombrix_sdk.structures.tideq", nullptr, -1,
                            nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tideq() {
  if (!init_interned() || !init_type_verdicts() || !init_dict_stamps()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&tideq_module));
  if (!module) return nullptr;
  PyObject* m = module.get();
  Ref queue = import_module("queue");
  if (!queue || !bind(m, "queue", queue) || !bind(m, "Any", import_from("typing", "Any")) ||
      !bind(m, "get_logger", import_from("ombrix_sdk.logging", "get_logger"))) {
    return nullptr;
  }
  if (!capture_stdlib(queue.get())) return nullptr;
  Ref queue_class = getattr(queue.get(), s_queue_class);
  Ref bases = queue_class ? Ref::steal(PyTuple_Pack(1, queue_class.get())) : Ref();
  if (!bases) return nullptr;
  Ref cls = make_class(m, "TideQueue", bases.get(), "    thread safe rolling queue\n    ",
                       {{"__init__", make_function(init_spec, m, {Py_False})},
                        {"put", make_function(put_spec, m, {Py_True, Py_None})},
                        {"drain_fast",
                         make_function(drain_fast_spec, m, {},
                                       {{"dest_factory", reinterpret_cast<PyObject*>(&PyList_Type)},
                                        {"adjust_unfinished", Py_True}})}});
  if (!cls) return nullptr;
  tideq_class = Ref(cls).release();
  if (!bind(m, "TideQueue", cls)) return nullptr;
  return module.release();
}
