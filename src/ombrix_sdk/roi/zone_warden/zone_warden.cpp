// ombrix_sdk.roi.zone_warden: ZoneWarden, a polygon region filter for the
// detections and tracks of a video frame, and RoiData, the key names of its
// region records.
//
// Construction and filtering follow the Python algorithm step by step, with
// every collaborator looked up in the module namespace when it is used. The
// filtering loop has two shortcuts, each taken only while it is known to give
// exactly what the plain steps would give:
//
// - Matching. While the instance, its class and the module namespace are as
//   construction and import left them (the hooks `_is_point_in_polygon`,
//   `_is_point_excluded_for_polygon` and `_assign_roi_info` not overridden,
//   `Point` and `id` not rebound, the records and overlap lists holding the
//   geometries the native form was built from; see prepared.hpp), and the
//   lookups the plain steps would make in the namespaces, the instance and
//   the records run no Python code (their keys are all exact str, or exact
//   int for the overlap table), an item's anchor point is located natively
//   in the geometries' own coordinates (geometry.hpp), and no shapely Point
//   is made unless the native test cannot be certain and the geometry
//   library has to decide.
// - Copying. Plain items are copied directly (plain.hpp); a plain detection
//   whose tags are plain stores gets its copy's instance dict built with the
//   tags in it, in the order the copy and the two stores would leave.
//
// Every step that may run Python code of the caller's (attribute access on
// items that are not plain, a lookup in a dict with keys that are not exact
// str, copying through copy.copy, overridden hooks, ...) advances an epoch;
// before a shortcut is used again, its premises are checked anew. Whatever is
// used after such a step is held by an owned reference. (The collector's
// finalizers may run at any allocation, as they may anywhere in Python code;
// what they change is seen at the next check.)
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "ombrix/compat.hpp"
#include <frameobject.h>

#include "geometry.hpp"
#include "ombrix/dicts.hpp"
#include "ombrix/function.hpp"
#include "ombrix/module.hpp"
#include "ombrix/types.hpp"
#include "plain.hpp"
#include "prepared.hpp"
#include "state.hpp"

namespace zone_warden {

using namespace ombrix;

// The verdicts of this file; they run no Python code (mro_keys_are_plain
// first).

// A class keeps ZoneWarden's hooks when it does not override them and leaves
// the instance attributes the hooks read to the instance dict.
bool hooks_are_own(const State& st, PyTypeObject* type) {
  return generic_attributes(type) && type->tp_dictoffset != 0 && mro_keys_are_plain(type) &&
         type_lookup(type, st.is_point_in_polygon).get() == st.in_polygon.get() &&
         type_lookup(type, st.is_point_excluded).get() == st.excluded.get() &&
         type_lookup(type, st.assign_roi_info).get() == st.assign.get() &&
         !type_lookup(type, st.exclusion_intersections);
}

// Reading a class attribute of a class whose class dicts have exact str
// keys only runs no code.
bool constants_are_plain(const State&, PyTypeObject* type) { return mro_keys_are_plain(type); }

// Making a Point has no effect besides the Point (so the shortcut may skip
// it) while the class still constructs as imported.
bool point_is_as_imported(const State& st, PyTypeObject* type) {
  return mro_keys_are_plain(type) && type_lookup(type, st.new_).get() == st.point_new.get() &&
         type_lookup(type, st.init).get() == st.point_init.get();
}

}  // namespace zone_warden

namespace {

using namespace ombrix;
using namespace zone_warden;

// --- namespace lookups ----------------------------------------------------------

// True when the lookups of the module's functions in their namespace (the
// module's, then the builtins) run no Python code: both have exact str keys
// only. Runs none itself.
bool namespace_is_plain(State& st) {
  return lookups_run_no_code(st.globals_keys, PyModule_GetDict(st.module())) &&
         lookups_run_no_code(st.builtins_keys, st.builtins_dict.get());
}

// `<cls_name>.<attr>` (RoiData.POINTS_KEY, KEY.ROI_ID, ...).
Ref class_constant(NativeFunction* fn, PyObject* cls_name, PyObject* attr) {
  Ref cls = global(fn, cls_name);
  return cls ? getattr(cls.get(), attr) : Ref();
}

// `name` as the module's functions see it (the module namespace, then the
// builtins), for namespaces found plain (namespace_is_plain): the lookups
// run no Python code. *value is empty when the name is unbound. False with
// an exception set when a lookup failed (they only could for memory).
bool plain_global(State& st, PyObject* name, Ref* value) {
  if (!dict_lookup(PyModule_GetDict(st.module()), name, value)) return false;
  return *value || dict_lookup(st.builtins_dict.get(), name, value);
}

// `<cls_name>.<attr>` in a plain namespace (see namespace_is_plain) when
// reading it runs no Python code and so gives the same string every time:
// the name is bound to a class without metaclass whose class dicts have
// exact str keys only, and the attribute is a plain string. Empty otherwise
// (with an exception set only when a lookup failed). Runs no Python code.
Ref plain_class_string(State& st, NativeFunction*, PyObject* cls_name, PyObject* attr) {
  Ref cls;
  if (!plain_global(st, cls_name, &cls) || !cls) return Ref();
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  if (Py_TYPE(cls.get()) != &PyType_Type || !st.plain_constants.check(st, type)) return Ref();
  Ref v = type_lookup(type, attr);
  return v && PyUnicode_CheckExact(v.get()) ? v : Ref();
}

// The same, checking the namespace first.
Ref pure_class_constant(State& st, NativeFunction* fn, PyObject* cls_name, PyObject* attr) {
  return namespace_is_plain(st) ? plain_class_string(st, fn, cls_name, attr) : Ref();
}

// --- unpacking ----------------------------------------------------------------------

// `a, b, ... = seq` with exactly n targets, with this SDK's messages for a
// wrong count. Sets *pure to false when the iteration may have run Python
// code (anything but an exact tuple or list).
bool unpack(PyObject* seq, Py_ssize_t n, Ref* out, bool* pure) {
  auto too_many = [n]() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return false;
  };
  auto need_more = [](Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return false;
  };
  if (with(kExactUnpack) && (PyTuple_CheckExact(seq) || PyList_CheckExact(seq))) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
    if (size > n) return too_many();
    if (size < n) return need_more(size);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
    return true;
  }
  *pure = false;
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) return PyErr_Occurred() ? false : need_more(i);
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) return too_many();
  return !PyErr_Occurred();
}

// --- ZoneWarden.__init__ -----------------------------------------------------------

// Step 7: record[POINTS_KEY] = np.array(record[POINTS_KEY], dtype=np.float32),
// then record["shapely_polygon"] = Polygon(record[POINTS_KEY]).
bool prepare_records(NativeFunction* fn, State& st, PyObject* self) {
  Ref rois = getattr(self, st.rois);
  Ref it = rois ? Ref::steal(PyObject_GetIter(rois.get())) : Ref();
  if (!it) return false;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    PyObject* r = record.get();
    Ref np = global(fn, st.np);
    Ref array = np ? getattr(np.get(), st.array) : Ref();
    Ref key = array ? class_constant(fn, st.roi_data, st.points_key) : Ref();
    Ref points = key ? Ref::steal(PyObject_GetItem(r, key.get())) : Ref();
    Ref np_again = points ? global(fn, st.np) : Ref();
    Ref float32 = np_again ? getattr(np_again.get(), st.float32) : Ref();
    Ref converted =
        float32 ? call_kw(array.get(), {points.get(), float32.get()}, st.dtype_kw.get()) : Ref();
    Ref target = converted ? class_constant(fn, st.roi_data, st.points_key) : Ref();
    if (!target || PyObject_SetItem(r, target.get(), converted.get()) < 0) return false;

    Ref polygon_class = global(fn, st.polygon_name);
    Ref key_again = polygon_class ? class_constant(fn, st.roi_data, st.points_key) : Ref();
    Ref vertices = key_again ? Ref::steal(PyObject_GetItem(r, key_again.get())) : Ref();
    Ref polygon = vertices ? call(polygon_class.get(), {vertices.get()}) : Ref();
    if (!polygon || PyObject_SetItem(r, st.shapely_polygon, polygon.get()) < 0) return false;
  }
  return !PyErr_Occurred();
}

// Step 8: [record for record in rois if not record[INCLUDE_KEY]].
Ref exclusion_list(NativeFunction* fn, State& st, PyObject* self) {
  Ref exclusions = Ref::steal(PyList_New(0));
  Ref rois = exclusions ? getattr(self, st.rois) : Ref();
  Ref it = rois ? Ref::steal(PyObject_GetIter(rois.get())) : Ref();
  if (!it) return Ref();
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref key = class_constant(fn, st.roi_data, st.include_key);
    Ref include = key ? Ref::steal(PyObject_GetItem(record.get(), key.get())) : Ref();
    int included = include ? truth(include.get()) : -1;
    if (included < 0) return Ref();
    if (!included && PyList_Append(exclusions.get(), record.get()) < 0) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return exclusions;
}

// Step 9.2, for an include record: the non-empty overlaps of its polygon with
// those of the exclusion records, in their order.
Ref overlaps_of(State& st, PyObject* record, PyObject* exclusions) {
  Ref kept = Ref::steal(PyList_New(0));
  if (!kept) return Ref();
  // The list is our own: nothing else can change it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(exclusions); ++i) {
    Ref exclusion = Ref::borrow(PyList_GET_ITEM(exclusions, i));
    Ref mine = Ref::steal(PyObject_GetItem(record, st.shapely_polygon));
    Ref intersect = mine ? getattr(mine.get(), st.intersection) : Ref();
    Ref theirs =
        intersect ? Ref::steal(PyObject_GetItem(exclusion.get(), st.shapely_polygon)) : Ref();
    Ref overlap = theirs ? call(intersect.get(), {theirs.get()}) : Ref();
    Ref empty = overlap ? getattr(overlap.get(), st.is_empty) : Ref();
    int is_empty = empty ? truth(empty.get()) : -1;
    if (is_empty < 0) return Ref();
    if (!is_empty && PyList_Append(kept.get(), overlap.get()) < 0) return Ref();
  }
  return kept;
}

// Step 9: empty region, include regions and their overlaps.
bool split_records(NativeFunction* fn, State& st, PyObject* self, PyObject* exclusions) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref rois = zero ? getattr(self, st.rois) : Ref();
  Ref it = rois ? Ref::steal(PyObject_GetIter(rois.get())) : Ref();
  if (!it) return false;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    PyObject* r = record.get();
    // 9.1: len(record[POINTS_KEY]) == 0
    Ref len = global(fn, st.len);
    Ref key = len ? class_constant(fn, st.roi_data, st.points_key) : Ref();
    Ref points = key ? Ref::steal(PyObject_GetItem(r, key.get())) : Ref();
    Ref count = points ? call(len.get(), {points.get()}) : Ref();
    Ref equal = count ? Ref::steal(PyObject_RichCompare(count.get(), zero.get(), Py_EQ)) : Ref();
    int no_points = equal ? truth(equal.get()) : -1;
    if (no_points < 0) return false;
    if (no_points) {
      if (PyObject_SetAttr(self, st.empty_polygon, r) < 0) return false;
      continue;
    }
    // 9.2: an include region
    Ref include_key = class_constant(fn, st.roi_data, st.include_key);
    Ref include = include_key ? Ref::steal(PyObject_GetItem(r, include_key.get())) : Ref();
    int included = include ? truth(include.get()) : -1;
    if (included < 0) return false;
    if (!included) continue;  // 9.3
    Ref list = getattr(self, st.included_rois);
    if (!list || !call_method(list.get(), st.append, {r})) return false;
    Ref kept = overlaps_of(st, r, exclusions);
    Ref table = kept ? getattr(self, st.exclusion_intersections) : Ref();
    Ref id = table ? global(fn, st.id) : Ref();
    Ref identity = id ? call(id.get(), {r}) : Ref();
    if (!identity || PyObject_SetItem(table.get(), identity.get(), kept.get()) < 0) return false;
  }
  return !PyErr_Occurred();
}

// [a, b]
Ref pair_list(PyObject* a, PyObject* b) {
  Ref list = Ref::steal(PyList_New(2));
  if (!list) return Ref();
  Py_INCREF(a);
  PyList_SET_ITEM(list.get(), 0, a);
  Py_INCREF(b);
  PyList_SET_ITEM(list.get(), 1, b);
  return list;
}

PyObject* zone_warden_init(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of<State>(fn);
  PyObject *self = argv[0], *polygons = argv[1], *frame_sz = argv[2];
  // 1, 2: the records as the caller gave them
  if (PyObject_SetAttr(self, st.polygons, Py_None) < 0) return nullptr;
  int given = truth(polygons);
  if (given < 0) return nullptr;
  if (given) {
    Ref copy = global(fn, st.copy);
    Ref deepcopy = copy ? getattr(copy.get(), st.deepcopy) : Ref();
    Ref kept = deepcopy ? call(deepcopy.get(), {polygons}) : Ref();
    if (!kept || PyObject_SetAttr(self, st.polygons, kept.get()) < 0) return nullptr;
  }
  // 3: the caller's list itself
  if (PyObject_SetAttr(self, st.rois, polygons) < 0) return nullptr;
  // 4: [float(frame_sz[0]), float(frame_sz[1])], or [1.0, 1.0]
  int sized = truth(frame_sz);
  if (sized < 0) return nullptr;
  Ref size;
  if (sized) {
    Ref to_float = global(fn, st.float_name);
    Ref w = to_float ? Ref::steal(PyObject_GetItem(frame_sz, st.index0.get())) : Ref();
    Ref width = w ? call(to_float.get(), {w.get()}) : Ref();
    Ref to_float_again = width ? global(fn, st.float_name) : Ref();
    Ref h = to_float_again ? Ref::steal(PyObject_GetItem(frame_sz, st.index1.get())) : Ref();
    Ref height = h ? call(to_float_again.get(), {h.get()}) : Ref();
    size = height ? pair_list(width.get(), height.get()) : Ref();
  } else {
    size = pair_list(st.one.get(), st.one.get());
  }
  if (!size || PyObject_SetAttr(self, st.frame_sz, size.get()) < 0) return nullptr;
  // 5
  Ref included = Ref::steal(PyList_New(0));
  Ref table = Ref::steal(PyDict_New());
  if (!included || !table || PyObject_SetAttr(self, st.included_rois, included.get()) < 0 ||
      PyObject_SetAttr(self, st.empty_polygon, Py_None) < 0 ||
      PyObject_SetAttr(self, st.exclusion_intersections, table.get()) < 0) {
    return nullptr;
  }
  // 6
  Ref rois = getattr(self, st.rois);
  int any = rois ? truth(rois.get()) : -1;
  if (any < 0) return nullptr;
  if (!any) Py_RETURN_NONE;
  // 7, 8, 9
  if (!prepare_records(fn, st, self)) return nullptr;
  Ref exclusions = exclusion_list(fn, st, self);
  if (!exclusions || !split_records(fn, st, self, exclusions.get())) return nullptr;
  Py_RETURN_NONE;
}

// --- tags ---------------------------------------------------------------------------

// [record.get(RoiData.<key_name>, "") for record in matched]
Ref tag_values_of(NativeFunction* fn, State& st, PyObject* matched, PyObject* key_name) {
  Ref values = Ref::steal(PyList_New(0));
  Ref it = values ? Ref::steal(PyObject_GetIter(matched)) : Ref();
  if (!it) return Ref();
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref get = getattr(record.get(), st.get);
    Ref key = get ? class_constant(fn, st.roi_data, key_name) : Ref();
    Ref value = key ? call(get.get(), {key.get(), st.empty_text}) : Ref();
    if (!value || PyList_Append(values.get(), value.get()) < 0) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return values;
}

// The same for the matches of the shortcut; `key` is RoiData.<key_name>
// when that is a plain class constant read since *ran_code was last set,
// else empty. The shortcut holds, so every record is an exact dict with
// exact str keys: when `key` is given, nothing in the loop runs Python code,
// and the key read once stands for the read per record.
Ref tag_values(NativeFunction* fn, State& st, const std::vector<Ref>& matched,
               PyObject* key_name, PyObject* key, bool* ran_code) {
  if (*ran_code) key = nullptr;
  for (const Ref& r : matched) {
    if (!PyDict_CheckExact(r.get())) key = nullptr;
  }
  if (!key) {
    *ran_code = true;
    Ref list = Ref::steal(PyList_New(0));
    for (const Ref& r : matched) {
      if (!list || PyList_Append(list.get(), r.get()) < 0) return Ref();
    }
    return list ? tag_values_of(fn, st, list.get(), key_name) : Ref();
  }
  Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matched.size())));
  if (!values) return Ref();
  for (std::size_t i = 0; i < matched.size(); ++i) {
    Ref v;
    if (!dict_lookup(matched[i].get(), key, &v)) return Ref();
    if (!v) v = Ref::borrow(st.empty_text);
    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), v.release());
  }
  return values;
}

// 1 when `copy`, whose class is plain, reads its attributes without running
// Python code: its instance dict has exact str keys only. 0 when that is not
// known (no dict yet before 3.10, or no memory to make it), -1 with an
// exception set otherwise. The dict is made with the collector held off
// (instance_dict): a copy made by copy.copy may be reachable by others.
int quiet_attributes(const State& st, PyObject* copy) {
  Ref attrs = instance_dict(copy);
  if (!attrs) {
    if (!PyErr_Occurred()) return 0;
    return clear_expected(PyExc_MemoryError) ? 0 : -1;
  }
  return PyDict_CheckExact(attrs.get()) && str_keys_only(attrs.get(), st.split_tables_plain);
}

// item_copy.info[KEY.ROI_ID] = ids; item_copy.info[KEY.ROI_NAME] = names, or
// item_copy.roi_id = ids; item_copy.roi_name = names. `keys` holds KEY.ROI_ID
// and KEY.ROI_NAME where they are plain class constants read with no Python
// code run since, else empty. `hold`, when given, holds the collector off
// for the caller; it is let go before any step that could run code.
bool write_tags(NativeFunction* fn, State& st, PyObject* copy, PyObject* ids, PyObject* names,
                bool has_info, const Ref (&keys)[2], bool* ran_code, ombrix::CollectorHeldOff* hold) {
  auto may_run_code = [ran_code, hold]() {
    if (hold) hold->let_go();
    *ran_code = true;
  };
  if (!has_info) {
    may_run_code();  // a store into an instance may run code (a key's __eq__)
    return PyObject_SetAttr(copy, st.roi_id, ids) == 0 &&
           PyObject_SetAttr(copy, st.roi_name, names) == 0;
  }
  // `keys` stand for KEY.ROI_ID and KEY.ROI_NAME only while no Python code
  // has run since they were read; Python reads KEY.<name> after item_copy.info.
  bool quiet = with(kNativeTags) && !*ran_code && plain_item_type(st, Py_TYPE(copy));
  if (quiet) {
    const int plain = quiet_attributes(st, copy);
    if (plain < 0) return false;
    quiet = plain != 0;
  }
  PyObject* const attrs[2] = {st.roi_id_const, st.roi_name_const};
  PyObject* const values[2] = {ids, names};
  for (int i = 0; i < 2; ++i) {
    if (!quiet) may_run_code();
    Ref info = getattr(copy, st.info);
    if (!info) return false;
    Ref key = quiet ? keys[i] : Ref();
    if (!key) {
      quiet = false;
      may_run_code();
      key = class_constant(fn, st.key_class, attrs[i]);
      if (!key) return false;
    }
    if (quiet && PyDict_CheckExact(info.get()) &&
        str_keys_only(info.get(), st.split_tables_plain)) {
      // Replacing a value releases it, and its __del__ may run code.
      // Borrowed: only looked at, before anything else is called.
      PyObject* old = PyDict_GetItemWithError(info.get(), key.get());
      if (old && !release_runs_no_code(old)) {
        quiet = false;
        may_run_code();
      }
      if (PyDict_SetItem(info.get(), key.get(), values[i]) < 0) return false;
    } else {
      quiet = false;
      may_run_code();
      if (PyObject_SetItem(info.get(), key.get(), values[i]) < 0) return false;
    }
  }
  return true;
}

// --- the hooks ------------------------------------------------------------------------

PyObject* is_point_in_polygon(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of<State>(fn);
  PyObject *point_shapely = argv[0], *polygon = argv[1];
  Ref geometry = Ref::steal(PyObject_GetItem(polygon, st.shapely_polygon));
  return geometry ? call_method(geometry.get(), st.contains, {point_shapely}).release() : nullptr;
}

PyObject* is_point_excluded_for_polygon(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of<State>(fn);
  PyObject *self = argv[0], *point_shapely = argv[1], *polygon = argv[2];
  // self._exclusion_intersections.get(id(polygon), [])
  Ref table = getattr(self, st.exclusion_intersections);
  Ref get = table ? getattr(table.get(), st.get) : Ref();
  Ref id = get ? global(fn, st.id) : Ref();
  Ref identity = id ? call(id.get(), {polygon}) : Ref();
  Ref none_found = identity ? Ref::steal(PyList_New(0)) : Ref();
  Ref overlaps = none_found ? call(get.get(), {identity.get(), none_found.get()}) : Ref();
  Ref it = overlaps ? Ref::steal(PyObject_GetIter(overlaps.get())) : Ref();
  if (!it) return nullptr;
  while (Ref overlap = Ref::steal(PyIter_Next(it.get()))) {
    Ref hit = call_method(overlap.get(), st.contains, {point_shapely});
    int inside = hit ? truth(hit.get()) : -1;
    if (inside < 0) return nullptr;
    if (inside) Py_RETURN_TRUE;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* assign_roi_info(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of<State>(fn);
  PyObject *item_copy = argv[0], *matched_polygons = argv[1], *has_info_attr = argv[2];
  Ref ids = tag_values_of(fn, st, matched_polygons, st.roi_id_key);
  Ref names = ids ? tag_values_of(fn, st, matched_polygons, st.roi_label_key) : Ref();
  int has_info = names ? truth(has_info_attr) : -1;
  if (has_info < 0) return nullptr;
  bool ran_code = false;
  Ref keys[2];
  if (has_info) {
    keys[0] = pure_class_constant(st, fn, st.key_class, st.roi_id_const);
    keys[1] = pure_class_constant(st, fn, st.key_class, st.roi_name_const);
  }
  if (!write_tags(fn, st, item_copy, ids.get(), names.get(), has_info != 0, keys, &ran_code,
                  nullptr)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// --- ZoneWarden.filter_in_roi -----------------------------------------------------

// An operand whose arithmetic with a float is plain double arithmetic: a
// float, or an int of at most 53 bits (converted exactly).
struct Operand {
  double v = 0;
  bool is_float = false;
};

bool as_operand(PyObject* o, Operand* out) {
  if (PyFloat_CheckExact(o)) {
    out->v = PyFloat_AS_DOUBLE(o);
    out->is_float = true;
    return true;
  }
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(o, &overflow);
    const long long limit = 1LL << 53;
    if (overflow || n > limit || n < -limit) return false;
    out->v = static_cast<double>(n);
    out->is_float = false;
    return true;
  }
  return false;
}

bool exact_number(PyObject* o) { return PyFloat_CheckExact(o) || PyLong_CheckExact(o); }

// An item's anchor point: native doubles, or the objects Python arithmetic
// gave.
struct Anchor {
  bool native = false;
  double x = 0, y = 0;
  Ref ox, oy;

  // The coordinates a shapely Point made from it would have.
  bool coordinates(const State& st, double* px, double* py) const {
    if (native) {
      *px = x;
      *py = y;
      return true;
    }
    auto is_double = [&st](PyObject* o) {
      return PyFloat_CheckExact(o) || Py_TYPE(o) == st.float64.type();
    };
    if (!is_double(ox.get()) || !is_double(oy.get())) return false;
    *px = PyFloat_AS_DOUBLE(ox.get());
    *py = PyFloat_AS_DOUBLE(oy.get());
    return true;
  }
  bool make_objects() {
    if (native && !ox) {
      ox = Ref::steal(PyFloat_FromDouble(x));
      oy = ox ? Ref::steal(PyFloat_FromDouble(y)) : Ref();
    }
    return ox && oy;
  }
};

// One call of filter_in_roi from step 4 on. The objects it is given are held
// by the caller's frame (filter_steps) for the whole pass.
//
// Python code may run at any step that calls out (attribute access on items
// that are not plain, the geometry library, copy.copy, overridden hooks, a
// lookup in a dict with keys that are not exact str, the release of an
// object), and, before 3.12, at any allocation of an object the collector
// tracks. The pass marks every step of the first kind (ran_code); it makes
// allocations of the second kind only under a CollectorHeldOff, so that no
// finalizer runs where the pass does not know. What a shortcut relies on is
// checked after the last step that could run code, and its acting step calls
// nothing out.
class Pass {
 public:
  Pass(NativeFunction* fn, State& st, PyObject* self, PyObject* included, PyObject* empty,
       PyObject* fx, PyObject* fy, PyObject* ax, PyObject* ay)
      : fn_(fn), st_(st), self_(self), included_(included), empty_(empty), fx_(fx), fy_(fy),
        ax_(ax), ay_(ay), copier_(st) {}

  // Python code of the caller's may run or have run: every shortcut's
  // premises are checked again before its next use, and what the pass kept
  // from before is let go now, as Python would have let go of it (Python
  // looks everything up again; only the pass keeps it).
  void ran_code() {
    ++epoch_;
    forget();
  }

  // Step 5, for one item.
  bool filter_item(PyObject* item, PyObject* result);

 private:
  // Lets go of what was read in an earlier epoch. The references are moved
  // out first: releasing them may run code, which finds the pass consistent.
  void forget() {
    Constants constants = std::move(constants_);
    constants_ = Constants();
    std::vector<Tags> tags;
    tags.swap(tags_);
    std::vector<Ref> records;
    records.swap(records_);
    std::shared_ptr<const Prepared> prepared = std::move(prepared_);
    prepared_.reset();
    Ref attrs = std::move(item_attrs_);
    item_attrs_ = Ref();
    item_epoch_ = 0;
  }
  int environment(Ref* intersections);
  int premises();
  // Whether the matching shortcut may be used now: 1, 0, or -1 with an
  // exception set.
  int shortcut_holds() {
    if (shortcut_possible_ && checked_epoch_ == epoch_ && prepared_) return 1;
    return check_shortcut();
  }
  int check_shortcut();
  // The instance dict of `item` when it is a plain item, read again whenever
  // Python code may have run since it was last read (the code may have given
  // the item another dict, or another class); NULL for other items, and NULL
  // with an exception set when making the dict failed.
  PyObject* attrs_of(PyObject* item) {
    return item_epoch_ == epoch_ ? item_attrs_.get() : read_attrs(item);
  }
  PyObject* read_attrs(PyObject* item);
  // attrs[name] into *value, owned (empty when absent), for `attrs` as
  // attrs_of gave it; false with an exception set when the lookup raised.
  bool entry(PyObject* attrs, PyObject* name, Ref* value) {
    const bool quiet = item_quiet_;
    const bool ok = instance_dict_lookup(attrs, name, value);
    if (!quiet) ran_code();  // a key's __eq__ may have run
    return ok;
  }
  // The instance dict of `item` for reading `info` and `tlwh` from it, as
  // attrs_of gives it; NULL (no exception) where that shortcut is left out.
  PyObject* attrs_to_read(PyObject* item) {
    return with(kItemDict) ? attrs_of(item) : nullptr;
  }
  // item.tlwh
  Ref tlwh_of(PyObject* item) {
    if (PyObject* attrs = attrs_to_read(item)) {
      Ref v;
      if (!entry(attrs, st_.tlwh, &v)) return Ref();
      if (v) return v;
    } else {
      if (PyErr_Occurred()) return Ref();
      ran_code();
    }
    return getattr(item, st_.tlwh);  // the attribute error, for a plain item
  }
  Ref box_of_track(PyObject* item);
  bool anchor_of(const Ref* box, Anchor* anchor);
  bool match_natively(double px, double py);
  bool match_through_hooks(Anchor* anchor);
  bool read_constants();
  Ref copy_of(PyObject* item);
  const Ref* tags_of(PyObject* record);
  int copy_and_tag_directly(PyObject* item, PyObject* result);
  bool assign(PyObject* copy, bool has_info);
  bool assign_through_hook(PyObject* copy, bool has_info);
  void next_item();

  NativeFunction* fn_;
  State& st_;
  PyObject *self_, *included_, *empty_, *fx_, *fy_, *ax_, *ay_;
  unsigned epoch_ = 1;
  // The matching shortcut: usable until its premises fail once; they were
  // last found to hold in checked_epoch_.
  bool shortcut_possible_ = true;
  unsigned checked_epoch_ = 0;
  std::shared_ptr<const Prepared> prepared_;
  std::vector<Ref> records_;  // included_'s records, as last checked
  ShallowCopy copier_;
  std::vector<Ref> matches_;
  // The instance dict of the item being filtered when it is a plain item,
  // as read in epoch item_epoch_ (0: not read yet); lookups in it run no
  // code when its keys are all exact str (item_quiet_).
  Ref item_attrs_;
  bool item_quiet_ = false;
  unsigned item_epoch_ = 0;
  // The tags of records, as read in this epoch (see tags_of).
  struct Tags {
    Ref record;
    Ref values[2];
  };
  std::vector<Tags> tags_;
  // Values read from the namespaces in epoch `epoch`, when reading them ran
  // no code (see read_constants).
  struct Constants {
    unsigned epoch = 0;
    Ref copy_module;        // `copy`
    Ref id_key, label_key;  // RoiData.ROI_ID_KEY, RoiData.ROI_LABEL_KEY if plain
    Ref info_keys[2];       // KEY.ROI_ID, KEY.ROI_NAME if plain
  } constants_;
};

// Whether the plain steps may be stood in for at all: the hooks are
// ZoneWarden's own and the instance overrides none, `Point` (unmodified) and
// `id` are the library's and the interpreter's own, and every lookup the
// plain steps would make in the namespaces and the instance runs no code.
// Sets *intersections to the instance's `_exclusion_intersections`. Runs no
// Python code. 1, 0, or -1 with an exception set.
int Pass::environment(Ref* intersections) {
  PyTypeObject* type = Py_TYPE(self_);
  if (Py_TYPE(type) != &PyType_Type || !st_.own_hooks.check(st_, type) || !st_.point ||
      !st_.plain_points.check(st_, st_.point.type()) || !namespace_is_plain(st_) ||
      !library_intact(st_)) {
    return 0;
  }
  // Lookups of str in dicts of str keys from here on: nothing runs.
  Ref point, id;
  if (!plain_global(st_, st_.point_name, &point) || !plain_global(st_, st_.id, &id)) return -1;
  if (!point || !id || point.get() != st_.point.get() || id.get() != st_.builtin_id.get()) {
    return 0;
  }
  // Made, if it has to be, with the collector held off.
  Ref attrs = instance_dict(self_);
  if (!attrs) return !PyErr_Occurred() || clear_expected(PyExc_MemoryError) ? 0 : -1;
  DictScan<4> scan;  // false when a key is not an exact str
  if (!PyDict_CheckExact(attrs.get()) || !scan.read(attrs.get(), st_.instance_names) || scan[0] ||
      scan[1] || scan[2] || !scan[3] || !PyDict_CheckExact(scan[3].get())) {
    return 0;
  }
  *intersections = scan[3];
  return 1;
}

int Pass::premises() {
  Ref intersections;
  const int plain = environment(&intersections);
  if (plain <= 0) return plain;
  std::vector<Ref> records;
  bool ran = false, failed = false;
  std::shared_ptr<const Prepared> entry =
      prepared_for(st_, self_, included_, intersections.get(), &records, &ran, &failed);
  if (failed) return -1;
  if (ran) {
    // The library ran: nothing found is trusted; the caller checks again.
    ran_code();
    return 1;
  }
  if (!entry) return 0;
  prepared_ = std::move(entry);
  records_.swap(records);
  return 1;
}

int Pass::check_shortcut() {
  if (!shortcut_possible_) return 0;
  // Building the native form runs the geometry library's code: then the
  // premises are checked once more, without building.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const unsigned start = epoch_;
    const int found = premises();
    if (found < 0) return -1;
    if (!found) break;
    if (epoch_ == start && prepared_) {
      checked_epoch_ = epoch_;
      return 1;
    }
  }
  shortcut_possible_ = false;
  ran_code();  // lets go of what was kept; that may run code
  return 0;
}

PyObject* Pass::read_attrs(PyObject* item) {
  item_attrs_ = Ref();
  item_epoch_ = epoch_;
  item_quiet_ = false;
  if (plain_item_type(st_, Py_TYPE(item))) {
    // Made, if it has to be, with the collector held off; before 3.10 an
    // item without a dict yet is read the plain way.
    item_attrs_ = instance_dict(item);
    if (!item_attrs_ && PyErr_Occurred()) {
      // No memory to make the dict: the item is read the plain way, which
      // needs none.
      if (clear_expected(PyExc_MemoryError)) return nullptr;
      item_epoch_ = 0;
      return nullptr;
    }
    item_quiet_ = item_attrs_ && PyDict_CheckExact(item_attrs_.get()) &&
                  str_keys_only(item_attrs_.get(), st_.split_tables_plain);
  }
  return item_attrs_.get();
}

// item.info.get("rect", item.tlwh)
Ref Pass::box_of_track(PyObject* item) {
  Ref info;
  if (PyObject* attrs = attrs_to_read(item)) {
    if (!entry(attrs, st_.info, &info)) return Ref();
  } else if (PyErr_Occurred()) {
    return Ref();
  }
  if (!info) {
    ran_code();
    info = getattr(item, st_.info);
    if (!info) return Ref();
  }
  if (with(kInfoGet) && PyDict_CheckExact(info.get())) {
    // dict.get of the dict itself: tlwh is read first, then the entry.
    Ref tlwh = tlwh_of(item);
    if (!tlwh) return Ref();
    const bool quiet = str_keys_only(info.get(), st_.split_tables_plain);
    Ref rect;
    const bool ok = dict_lookup(info.get(), st_.rect, &rect);
    if (!quiet) ran_code();
    if (!ok) return Ref();
    return rect ? rect : tlwh;
  }
  ran_code();
  Ref get = getattr(info.get(), st_.get);
  info = Ref();
  Ref tlwh = get ? tlwh_of(item) : Ref();
  return tlwh ? call(get.get(), {st_.rect, tlwh.get()}) : Ref();
}
// Steps 5.3 and 5.4: rx = x + width * ax, ry = y + height * ay, divided by
// the frame size when width > 1.0 and height > 1.0.
bool Pass::anchor_of(const Ref* box, Anchor* anchor) {
  PyObject *x = box[0].get(), *y = box[1].get(), *width = box[2].get(), *height = box[3].get();
  Operand ox, oy, ow, oh, oax, oay;
  if (with(kNativeAnchor) && as_operand(x, &ox) && as_operand(width, &ow) &&
      as_operand(ax_, &oax) && (ow.is_float || oax.is_float) && as_operand(y, &oy) &&
      as_operand(height, &oh) && as_operand(ay_, &oay) && (oh.is_float || oay.is_float)) {
    // At least one float in each product: Python computes in doubles too.
    double rx = ox.v + ow.v * oax.v;
    double ry = oy.v + oh.v * oay.v;
    if (ow.v > 1.0 && oh.v > 1.0) {
      Operand fx, fy;
      if (!(as_operand(fx_, &fx) && as_operand(fy_, &fy) && fx.v != 0.0 && fy.v != 0.0)) {
        // Let the interpreter divide (and raise).
        if (!exact_number(fx_) || !exact_number(fy_)) ran_code();
        Ref px = Ref::steal(PyFloat_FromDouble(rx));
        anchor->ox = px ? Ref::steal(PyNumber_TrueDivide(px.get(), fx_)) : Ref();
        Ref py = anchor->ox ? Ref::steal(PyFloat_FromDouble(ry)) : Ref();
        anchor->oy = py ? Ref::steal(PyNumber_TrueDivide(py.get(), fy_)) : Ref();
        return static_cast<bool>(anchor->oy);
      }
      rx = rx / fx.v;
      ry = ry / fy.v;
    }
    anchor->native = true;
    anchor->x = rx;
    anchor->y = ry;
    return true;
  }
  // The interpreter's arithmetic on the objects themselves.
  for (PyObject* o : {x, y, width, height, ax_, ay_}) {
    if (!exact_number(o)) {
      ran_code();
      break;
    }
  }
  Ref t = Ref::steal(PyNumber_Multiply(width, ax_));
  anchor->ox = t ? Ref::steal(PyNumber_Add(x, t.get())) : Ref();
  Ref u = anchor->ox ? Ref::steal(PyNumber_Multiply(height, ay_)) : Ref();
  anchor->oy = u ? Ref::steal(PyNumber_Add(y, u.get())) : Ref();
  if (!anchor->oy) return false;
  Ref wide = Ref::steal(PyObject_RichCompare(width, st_.one.get(), Py_GT));
  int pixels = wide ? truth(wide.get()) : -1;
  if (pixels > 0) {
    Ref tall = Ref::steal(PyObject_RichCompare(height, st_.one.get(), Py_GT));
    pixels = tall ? truth(tall.get()) : -1;
  }
  if (pixels < 0) return false;
  if (pixels) {
    if (!exact_number(fx_) || !exact_number(fy_)) ran_code();
    anchor->ox = Ref::steal(PyNumber_TrueDivide(anchor->ox.get(), fx_));
    anchor->oy = anchor->ox ? Ref::steal(PyNumber_TrueDivide(anchor->oy.get(), fy_)) : Ref();
    if (!anchor->oy) return false;
  }
  return true;
}

// shape.contains(Point(px, py)) when the native test is certain: 1 or 0; -1
// when the geometry has to be left to the library.
int decide(const Shape& shape, double px, double py) {
  if (!shape.native) return -1;
  if (outside_box(shape.area, px, py)) return 0;
  switch (locate(shape.area, px, py)) {
    case Location::Interior: return 1;
    case Location::Unsure: return -1;
    default: return 0;
  }
}

// Step 5.6 on the native form, when the native test is certain for every
// geometry the hooks would ask about: true, with the matches collected, the
// same decisions as the hooks'. False, with nothing collected, when one of
// them has to be left to the library; the caller then takes the steps as
// written (Point and the hooks). Calls nothing and runs no code, so the form
// and the records stay as checked throughout.
bool Pass::match_natively(double px, double py) {
  const std::vector<Region>& regions = prepared_->regions;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const int inside = decide(regions[i].polygon, px, py);
    if (inside < 0) {
      matches_.clear();  // the records stay held by records_: nothing is freed
      return false;
    }
    if (!inside) continue;
    bool excluded = false;
    for (const Shape& overlap : regions[i].overlaps) {
      const int hit = decide(overlap, px, py);
      if (hit < 0) {
        matches_.clear();
        return false;
      }
      if (hit) {
        excluded = true;
        break;
      }
    }
    if (!excluded) matches_.push_back(records_[i]);
  }
  return true;
}

// Steps 5.5 and 5.6 as written: Point(rx, ry), then the hooks through the
// instance, for each include record.
bool Pass::match_through_hooks(Anchor* anchor) {
  if (!anchor->make_objects()) return false;
  ran_code();
  Ref point_class = global(fn_, st_.point_name);
  Ref point = point_class ? call(point_class.get(), {anchor->ox.get(), anchor->oy.get()}) : Ref();
  if (!point) return false;
  Ref it = Ref::steal(PyObject_GetIter(included_));
  if (!it) return false;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref inside = call_method(self_, st_.is_point_in_polygon, {point.get(), record.get()});
    int in = inside ? truth(inside.get()) : -1;
    if (in < 0) return false;
    if (!in) continue;
    Ref excluded = call_method(self_, st_.is_point_excluded, {point.get(), record.get()});
    int out = excluded ? truth(excluded.get()) : -1;
    if (out < 0) return false;
    if (!out) matches_.push_back(record);
  }
  return !PyErr_Occurred();
}

// The namespace values the copy and tag steps read, once per epoch, when
// reading them runs no code (and so gives the same values each time within
// the epoch); all empty otherwise. Runs no Python code. False with an
// exception set when a lookup failed (only memory could make it).
bool Pass::read_constants() {
  if (with(kEpochConstants) && constants_.epoch == epoch_) return true;
  constants_ = Constants();
  constants_.epoch = epoch_;
  if (!namespace_is_plain(st_)) return true;
  if (!plain_global(st_, st_.copy, &constants_.copy_module)) return false;
  constants_.id_key = plain_class_string(st_, fn_, st_.roi_data, st_.roi_id_key);
  constants_.label_key = plain_class_string(st_, fn_, st_.roi_data, st_.roi_label_key);
  constants_.info_keys[0] = plain_class_string(st_, fn_, st_.key_class, st_.roi_id_const);
  constants_.info_keys[1] = plain_class_string(st_, fn_, st_.key_class, st_.roi_name_const);
  return !PyErr_Occurred();
}

// copy.copy(item)
Ref Pass::copy_of(PyObject* item) {
  if (!read_constants()) return Ref();
  Ref copy_module = constants_.copy_module;
  if (!copy_module) {
    ran_code();  // the lookup may run a key's code
    copy_module = global(fn_, st_.copy);
    if (!copy_module) return Ref();
  }
  // The item's dict as it is after the lookup, owned for the copy.
  const Ref attrs = Ref::borrow(attrs_of(item));
  if (!attrs && PyErr_Occurred()) return Ref();
  bool ran = false;
  Ref copy = copier_(copy_module.get(), item, attrs.get(), epoch_, &ran);
  if (ran) ran_code();
  return copy;
}

// self._assign_roi_info(copy, matches, has_info), as written.
bool Pass::assign_through_hook(PyObject* copy, bool has_info) {
  ran_code();
  Ref matched = Ref::steal(PyList_New(0));
  for (const Ref& r : matches_) {
    if (!matched || PyList_Append(matched.get(), r.get()) < 0) return false;
  }
  Ref done = matched ? call_method(self_, st_.assign_roi_info,
                                   {copy, matched.get(), has_info ? Py_True : Py_False})
                     : Ref();
  ran_code();
  return static_cast<bool>(done);
}

// self._assign_roi_info(copy, matches, has_info): natively while the hook is
// ZoneWarden's own and the keys it reads are plain constants; the tags are
// computed and stored with the collector held off, which write_tags lets go
// before any step that could run code.
bool Pass::assign(PyObject* copy, bool has_info) {
  if (!with(kNativeTags)) return assign_through_hook(copy, has_info);
  const int holds = shortcut_holds();
  if (holds < 0) return false;
  if (!holds) return assign_through_hook(copy, has_info);
  if (!read_constants()) return false;
  if (checked_epoch_ != epoch_ || !constants_.id_key || !constants_.label_key) {
    return assign_through_hook(copy, has_info);
  }
  ombrix::CollectorHeldOff hold(st_);
  if (!hold.held()) {
    hold.let_go();
    return assign_through_hook(copy, has_info);
  }
  bool ran = false;
  Ref ids = tag_values(fn_, st_, matches_, st_.roi_id_key, constants_.id_key.get(), &ran);
  Ref names = ids ? tag_values(fn_, st_, matches_, st_.roi_label_key,
                               constants_.label_key.get(), &ran)
                  : Ref();
  const bool done = names && write_tags(fn_, st_, copy, ids.get(), names.get(), has_info,
                                        constants_.info_keys, &ran, &hold);
  hold.let_go();
  if (ran) ran_code();
  return done;
}

// record.get(RoiData.ROI_ID_KEY, "") and record.get(RoiData.ROI_LABEL_KEY, "")
// for a record of the shortcut, while both keys are plain constants: read
// once per epoch (the record's keys are exact str, so nothing runs while
// they are read, and nothing can change a record while no Python code
// runs). Owned. NULL with an exception set on failure.
const Ref* Pass::tags_of(PyObject* record) {
  if (with(kEpochConstants)) {
    for (const Tags& t : tags_) {
      if (t.record.get() == record) return t.values;
    }
  } else {
    // Read anew each time. What goes is also held by the records, which
    // records_ holds: releasing it frees nothing.
    tags_.clear();
  }
  Tags t;
  t.record = Ref::borrow(record);
  PyObject* const keys[2] = {constants_.id_key.get(), constants_.label_key.get()};
  for (int k = 0; k < 2; ++k) {
    if (!dict_lookup(record, keys[k], &t.values[k])) return nullptr;
    if (!t.values[k]) t.values[k] = Ref::borrow(st_.empty_text);
  }
  tags_.push_back(std::move(t));
  return tags_.back().values;
}

// Step 5.7 for a detection whose copy and tagging run no Python code: the
// copy as copy.copy makes it, tagged as _assign_roi_info tags it, made in one
// go. 1 when done, -1 on failure, 0 when the steps have to be taken one by one.
int Pass::copy_and_tag_directly(PyObject* item, PyObject* result) {
  const int holds = shortcut_holds();
  if (holds <= 0) return holds;
  if (!read_constants()) return -1;
  // Checking may have built the native form, which runs code: the item's
  // dict is read (again, if so) after it.
  PyObject* attrs = attrs_of(item);
  if (!attrs) return PyErr_Occurred() ? -1 : 0;
  if (!item_quiet_ || checked_epoch_ != epoch_ || !constants_.copy_module ||
      !constants_.id_key || !constants_.label_key) {
    return 0;
  }
  // From the check of the class to the end nothing is called out and
  // nothing released that could run code, and the collector is held off
  // across the allocations: the item is copied as it was checked.
  ombrix::CollectorHeldOff hold(st_);
  if (!hold.held() ||
      !copier_.stores_are_direct(constants_.copy_module.get(), item, attrs, epoch_)) {
    return 0;
  }
  Ref ids = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matches_.size())));
  Ref tags = ids ? Ref::steal(PyList_New(static_cast<Py_ssize_t>(matches_.size()))) : Ref();
  if (!tags) return -1;
  for (std::size_t i = 0; i < matches_.size(); ++i) {
    const Ref* found = tags_of(matches_[i].get());
    if (!found) return -1;
    PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), Ref(found[0]).release());
    PyList_SET_ITEM(tags.get(), static_cast<Py_ssize_t>(i), Ref(found[1]).release());
  }
  PyObject* const names[2] = {st_.roi_id, st_.roi_name};
  PyObject* const values[2] = {ids.get(), tags.get()};
  Ref copy = copier_.with_attributes(item, attrs, names, values, 2);
  hold.let_go();
  if (!copy) return PyErr_Occurred() ? -1 : 0;
  return PyList_Append(result, copy.get()) == 0 ? 1 : -1;
}

// Lets go of what the pass kept of the previous item (its dict, its
// matches), as Python lets go of its locals when the loop moves on.
void Pass::next_item() {
  bool quiet = true;
  Ref attrs = std::move(item_attrs_);
  item_attrs_ = Ref();
  item_epoch_ = 0;
  if (attrs) {
    quiet = release_runs_no_code(attrs.get());
    attrs.reset();
  }
  std::vector<Ref> matches;
  matches.swap(matches_);
  for (Ref& r : matches) {
    if (!release_runs_no_code(r.get())) quiet = false;
    r.reset();
  }
  if (!quiet) ran_code();
}

bool Pass::filter_item(PyObject* item, PyObject* result) {
  next_item();
  // 5.1: a track item when reading item.info succeeds.
  Ref info;
  if (PyObject* attrs = attrs_to_read(item)) {
    // Absent from a plain item's dict: reading it raises AttributeError.
    if (!entry(attrs, st_.info, &info)) info = Ref();
  } else if (!PyErr_Occurred()) {
    ran_code();
    info = getattr(item, st_.info);
  }
  // Any failure of the read counts as the attribute being absent, as far
  // as `except Exception` goes.
  if (!info && PyErr_Occurred() && !clear_expected()) return false;
  const bool has_info = static_cast<bool>(info);
  if (info && !release_runs_no_code(info.get())) {
    info.reset();
    ran_code();
  }
  info = Ref();
  // 5.2: the box, unpacked into x, y, width, height.
  Ref box = has_info ? box_of_track(item) : tlwh_of(item);
  if (!box) return false;
  Ref values[4];
  bool pure = true;
  if (!unpack(box.get(), 4, values, &pure)) return false;
  if (!pure) ran_code();
  // 5.3, 5.4
  Anchor anchor;
  if (!anchor_of(values, &anchor)) return false;
  // 5.5, 5.6
  double px = 0, py = 0;
  bool matched = false;
  if (with(kNativeMatch) && anchor.coordinates(st_, &px, &py) && std::isfinite(px) &&
      std::isfinite(py)) {
    const int holds = shortcut_holds();
    if (holds < 0) return false;
    matched = holds && match_natively(px, py);
  }
  if (!matched && !match_through_hooks(&anchor)) return false;
  // 5.7
  if (!matches_.empty()) {
    if (!has_info && with(kCopyAndTag)) {
      int done = copy_and_tag_directly(item, result);
      if (done != 0) return done > 0;
    }
    Ref copy = copy_of(item);
    if (!copy || !assign(copy.get(), has_info)) return false;
    return PyList_Append(result, copy.get()) == 0;
  }
  if (empty_ != Py_None) return PyList_Append(result, item) == 0;
  return true;
}

// Steps 1 to 6; NULL with the exception set on failure.
Ref filter_steps(NativeFunction* fn, State& st, PyObject* const* argv) {
  PyObject *self = argv[0], *det_or_trk = argv[1], *anchor_pt = argv[3];
  // 1
  Ref frame_sz = Ref::borrow(argv[2]);
  int given = truth(frame_sz.get());
  if (given < 0) return Ref();
  if (!given) {
    frame_sz = getattr(self, st.frame_sz);
    if (!frame_sz) return Ref();
  }
  // 2
  Ref rois = getattr(self, st.rois);
  int any = rois ? truth(rois.get()) : -1;
  if (any < 0) return Ref();
  if (!any) return Ref::borrow(det_or_trk);
  // 3
  Ref fx = Ref::steal(PyObject_GetItem(frame_sz.get(), st.index0.get()));
  Ref fy = fx ? Ref::steal(PyObject_GetItem(frame_sz.get(), st.index1.get())) : Ref();
  if (!fy) return Ref();
  Ref anchor[2];
  bool pure = true;
  if (!unpack(anchor_pt, 2, anchor, &pure)) return Ref();
  // 4
  Ref included = getattr(self, st.included_rois);
  Ref empty = included ? getattr(self, st.empty_polygon) : Ref();
  Ref result = empty ? Ref::steal(PyList_New(0)) : Ref();
  if (!result) return Ref();
  Pass pass(fn, st, self, included.get(), empty.get(), fx.get(), fy.get(), anchor[0].get(),
            anchor[1].get());
  // 5
  Ref items = Ref::steal(PyObject_GetIter(det_or_trk));
  if (!items) return Ref();
  const bool plain_iteration = PyList_CheckExact(det_or_trk) || PyTuple_CheckExact(det_or_trk);
  while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
    if (!plain_iteration) pass.ran_code();
    if (!pass.filter_item(item.get(), result.get())) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  // 6
  return result;
}

// Adds an entry for filter_in_roi to the traceback of the pending exception,
// as leaving a Python function's frame would. The pending exception stays
// as it is if that fails.
void add_traceback_entry(State& st) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  // The module owns its namespace for its whole life.
  PyObject* globals = PyModule_GetDict(st.module());
  Ref frame = Ref::steal(
      st.filter_code ? reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(st.filter_code.get()),
                           globals, nullptr))
                     : nullptr);
  if (!frame && !clear_expected()) {
    // Not an Exception: that one goes on instead.
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
  if (frame) {
    // keeps an exception pending either way
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
  }
}

// The failure handler: exception_traceback(logger, e); return [].
PyObject* report_failure(NativeFunction* fn, State& st) {
  add_traceback_entry(st);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Ref error_type = Ref::steal(type), error = Ref::steal(value), error_tb = Ref::steal(traceback);
  // Inside the handler the caught exception is the one being handled.
  PyObject *outer_type, *outer_value, *outer_tb;
  PyErr_GetExcInfo(&outer_type, &outer_value, &outer_tb);
  PyErr_SetExcInfo(Ref(error_type).release(), Ref(error).release(), Ref(error_tb).release());
  Ref recorder = global(fn, st.exception_traceback);
  Ref logger = recorder ? global(fn, st.logger) : Ref();
  Ref outcome = logger ? call(recorder.get(), {logger.get(), error.get()}) : Ref();
  PyErr_SetExcInfo(outer_type, outer_value, outer_tb);
  if (!outcome) {
    // Raised while handling `error`: chain it, as the interpreter does.
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2 && v2 != error.get()) PyException_SetContext(v2, error.release());
    PyErr_Restore(t2, v2, tb2);
    return nullptr;
  }
  return PyList_New(0);
}

PyObject* filter_in_roi(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of<State>(fn);
  // Without the native form kept from call to call, each call starts with
  // none, as the first call does.
  if (!with(kKeptForm)) forget_native_form(st, argv[0]);
  Ref result = filter_steps(fn, st, argv);
  if (result) return result.release();
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  return report_failure(fn, st);
}

// --- module -----------------------------------------------------------------------

const char kVersionHistory[] =
    "\n"
    "v 0.1.0-performance: precompute exclusion intersections, use shapely only, avoid deepcopy\n"
    "v 0.0.9-roi_id and roi_name are now arrays listing all matched ROIs per item\n"
    "v 0.0.8-fix the shared reference bug\n"
    "v 0.0.7-add exception when the point is not in the polygon\n"
    "v 0.0.6-ROI add polygons parameter for the constructor\n"
    "v 0.0.5-ROI is implemented by shapely\n"
    "v 0.0.4-ROI points exception\n"
    "v 0.0.2-customized for the edge-gateway container\n"
    "v 0.0.1-multiple polygon exclude/include roi logic\n";

const FunctionSpec init_spec{
    "__init__", "ZoneWarden.__init__",
    "\n"
    "        check the point in polygon area\n"
    "        :param polygons: polygon information in the previous roi node\n"
    "        :param frame_sz: size of the frame\n"
    "        ",
    {{"self"}, {"polygons"}, {"frame_sz"}},
    nullptr, zone_warden_init};

const FunctionSpec excluded_spec{
    "_is_point_excluded_for_polygon", "ZoneWarden._is_point_excluded_for_polygon", nullptr,
    {{"self"}, {"point_shapely"}, {"polygon"}},
    nullptr, is_point_excluded_for_polygon};

const FunctionSpec filter_spec{
    "filter_in_roi", "ZoneWarden.filter_in_roi",
    "\n"
    "        :param det_or_trk: this param is detection result or tracking result\n"
    "        :param frame_sz: frame size of the image frame\n"
    "        :param anchor_pt: anchored position of tracking result or detection result\n"
    "        :return:\n"
    "        ",
    {{"self"}, {"det_or_trk"}, {"frame_sz"}, {"anchor_pt"}},
    nullptr, filter_in_roi};

const FunctionSpec in_polygon_spec{
    "_is_point_in_polygon", "ZoneWarden._is_point_in_polygon", nullptr,
    {{"point_shapely"}, {"polygon"}},
    nullptr, is_point_in_polygon};

const FunctionSpec assign_spec{
    "_assign_roi_info", "ZoneWarden._assign_roi_info", nullptr,
    {{"item_copy"}, {"matched_polygons"}, {"has_info_attr"}},
    nullptr, assign_roi_info};

Ref make_roi_data(PyObject* m, PyObject* no_bases) {
  // Interned, as the string constants of a class body are.
  auto text = [](const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); };
  Ref polygon_info = text("polygon_roi");
  Ref roi_id = polygon_info ? text("roi_id") : Ref();
  Ref label = roi_id ? text("label") : Ref();
  Ref include = label ? text("include") : Ref();
  Ref points = include ? text("points") : Ref();
  Ref edge = points ? Ref::steal(PyLong_FromLong(1)) : Ref();
  if (!edge) return Ref();
  return make_class(m, "RoiData", no_bases, nullptr,
                    {{"POLYGON_INFO", polygon_info},
                     {"ROI_ID_KEY", roi_id},
                     {"ROI_LABEL_KEY", label},
                     {"INCLUDE_KEY", include},
                     {"POINTS_KEY", points},
                     {"POLYGON_EDGE", edge}});
}

Ref make_zone_warden(PyObject* m, State& st, PyObject* no_bases) {
  Ref default_anchor = Ref::steal(Py_BuildValue("(dd)", 0.5, 0.5));
  if (!default_anchor) return Ref();
  Ref init = make_function(init_spec, st, {Py_None, Py_None});
  Ref excluded = init ? make_function(excluded_spec, st) : Ref();
  Ref filter = excluded ? make_function(filter_spec, st, {Py_None, default_anchor.get()}) : Ref();
  Ref in_polygon = filter ? static_method(make_function(in_polygon_spec, st)) : Ref();
  Ref assign = in_polygon ? static_method(make_function(assign_spec, st)) : Ref();
  if (!assign) return Ref();
  Ref cls = make_class(m, "ZoneWarden", no_bases, nullptr,
                       {{"__init__", init},
                        {"_is_point_excluded_for_polygon", excluded},
                        {"filter_in_roi", filter},
                        {"_is_point_in_polygon", in_polygon},
                        {"_assign_roi_info", assign}});
  if (!cls) return Ref();
  // The hooks as defined, for telling later whether they were overridden.
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  if (!st.in_polygon.set(type_lookup(type, st.is_point_in_polygon)) ||
      !st.excluded.set(type_lookup(type, st.is_point_excluded)) ||
      !st.assign.set(type_lookup(type, st.assign_roi_info))) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "ZoneWarden hooks missing");
    return Ref();
  }
  return cls;
}

// Objects the module keeps without binding them.
bool capture_originals(State& st, PyObject* copy, PyObject* np, PyObject* polygon,
                       PyObject* point) {
  if (!capture_copy_machinery(st, copy)) return false;
  Ref multipolygon = import_from("shapely.geometry", "MultiPolygon");
  if (!multipolygon) return false;
  Ref builtins = import_module("builtins");
  if (!builtins || !st.builtins_dict.set(Ref::borrow(PyModule_GetDict(builtins.get()))) ||
      !st.builtin_id.set(getattr(builtins.get(), st.id)) ||
      !st.float64.set(Ref::steal(PyObject_GetAttrString(np, "float64")))) {
    return false;
  }
  // The interpreter's own id, not one put in builtins before this import:
  // anything else never matches, and the hooks are run as written.
  PyObject* id = st.builtin_id.get();
  if (!PyCFunction_Check(id) || PyCFunction_GET_SELF(id) != builtins.get() ||
      std::strcmp(reinterpret_cast<PyCFunctionObject*>(id)->m_ml->ml_name, "id") != 0) {
    st.builtin_id.set(Ref::borrow(Py_None));
  }
  if (!PyType_Check(st.float64.get())) {
    PyErr_SetString(PyExc_ImportError, "unexpected numpy layout");
    return false;
  }
  if (!PyType_Check(point) || Py_TYPE(point) != &PyType_Type) {
    PyErr_SetString(PyExc_ImportError, "unexpected shapely layout");
    return false;
  }
  auto* point_type = reinterpret_cast<PyTypeObject*>(point);
  st.point.set(Ref::borrow(point));
  st.point_new.set(type_lookup(point_type, st.new_));
  st.point_init.set(type_lookup(point_type, st.init));
  if (!capture_geometry_library(st, polygon, multipolygon.get(), point)) return false;
  return st.one.set(Ref::steal(PyFloat_FromDouble(1.0))) &&
         st.index0.set(Ref::steal(PyLong_FromLong(0))) &&
         st.index1.set(Ref::steal(PyLong_FromLong(1))) &&
         st.dtype_kw.set(Ref::steal(Py_BuildValue("(s)", "dtype"))) &&
         st.filter_code.set(Ref::steal(reinterpret_cast<PyObject*>(
             PyCode_NewEmpty("ombrix_sdk/roi/zone_warden", "filter_in_roi", 1))));
}

const char kModuleName[] = "ombrix_sdk.roi.zone_warden";

// numpy and shapely refuse to load in a sub-interpreter with a GIL of its
// own; the import then says why this module cannot be had there.
const char kIsolationReason[] = "numpy and shapely do not support them";

Ref import_dependency(const char* name) {
  Ref module = import_module(name);
  if (!module) explain_isolation_refusal(kModuleName, kIsolationReason);
  return module;
}

Ref import_dependency_from(const char* module, const char* name) {
  Ref value = import_from(module, name);
  if (!value) explain_isolation_refusal(kModuleName, kIsolationReason);
  return value;
}

bool exec_zone_warden(PyObject* m, State& st) {
  // import copy; import numpy as np; from shapely.geometry import Polygon, Point
  Ref copy = import_module("copy");
  Ref np = copy ? import_dependency("numpy") : Ref();
  Ref polygon = np ? import_dependency_from("shapely.geometry", "Polygon") : Ref();
  Ref point = polygon ? import_from("shapely.geometry", "Point") : Ref();
  if (!point || !bind(m, "copy", copy) || !bind(m, "np", np) || !bind(m, "Polygon", polygon) ||
      !bind(m, "Point", point)) {
    return false;
  }
  // from ombrix_sdk.constants import KEY
  if (!bind(m, "KEY", import_from("ombrix_sdk.constants", "KEY"))) return false;
  // from ombrix_sdk.logging import exception_traceback, get_logger
  if (!bind(m, "exception_traceback", import_from("ombrix_sdk.logging", "exception_traceback"))) {
    return false;
  }
  Ref get_logger = import_from("ombrix_sdk.logging", "get_logger");
  if (!bind(m, "get_logger", get_logger)) return false;
  // logger = get_logger("ZoneWarden")
  if (!bind(m, "logger", call(get_logger.get(), {st.zone_warden}))) return false;
  if (!capture_originals(st, copy.get(), np.get(), polygon.get(), point.get())) return false;
  st.split_tables_plain = split_tables_hold_str_keys();
  if (PyErr_Occurred()) return false;
  st.instance_names.build(
      {&st.is_point_in_polygon, &st.is_point_excluded, &st.assign_roi_info,
       &st.exclusion_intersections});
  Ref no_bases = Ref::steal(PyTuple_New(0));
  if (!no_bases || !bind(m, "RoiData", make_roi_data(m, no_bases.get()))) return false;
  return bind(m, "ZoneWarden", make_zone_warden(m, st, no_bases.get()));
}

}  // namespace

// Sub-interpreters with a GIL of their own are declared: the module keeps
// nothing in process globals. numpy and shapely refuse them, and the import
// then fails with an ImportError naming that reason (explain_isolation_refusal in the shared layer).
PyMODINIT_FUNC PyInit_zone_warden() {
  return ModuleDefinition<State>::init(kModuleName, kVersionHistory, exec_zone_warden,
                                       Interpreters::Isolated);
}
