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
//   geometries the native form was built from; see prepared.hpp), an item's
//   anchor point is located natively in the geometries' own coordinates
//   (geometry.hpp), and no shapely Point is made unless the native test
//   cannot be certain and the geometry library has to decide.
// - Copying. Plain items are copied directly (plain.hpp); a plain detection
//   whose tags are plain stores gets its copy's instance dict built with the
//   tags in it, in the order the copy and the two stores would leave.
//
// Every step that may run Python code of the caller's (attribute access on
// items that are not plain, copying through copy.copy, overridden hooks, ...)
// advances an epoch; before the shortcut is used again, its conditions are
// checked anew.
#include <cmath>
#include <memory>
#include <vector>

#include "ombrix/compat.hpp"
#include <frameobject.h>

#include "geometry.hpp"
#include "ombrix/function.hpp"
#include "ombrix/module.hpp"
#include "ombrix/types.hpp"
#include "plain.hpp"
#include "prepared.hpp"

namespace {

using namespace ombrix;
using namespace zone_warden;

Interned s_copy("copy"), s_deepcopy("deepcopy"), s_np("np"), s_array("array"),
    s_float32("float32"), s_Polygon("Polygon"), s_Point("Point"), s_KEY("KEY"),
    s_ROI_ID("ROI_ID"), s_ROI_NAME("ROI_NAME"), s_exception_traceback("exception_traceback"),
    s_logger("logger"), s_RoiData("RoiData"), s_POINTS_KEY("POINTS_KEY"),
    s_INCLUDE_KEY("INCLUDE_KEY"), s_ROI_ID_KEY("ROI_ID_KEY"), s_ROI_LABEL_KEY("ROI_LABEL_KEY"),
    s_shapely_polygon("shapely_polygon"), s_polygons("polygons"), s_rois("rois"),
    s_frame_sz("frame_sz"), s_included_rois("_included_rois"),
    s_empty_polygon("_empty_polygon"), s_exclusion_intersections("_exclusion_intersections"),
    s_intersection("intersection"), s_is_empty("is_empty"), s_contains("contains"),
    s_append("append"), s_get("get"), s_info("info"), s_tlwh("tlwh"), s_rect("rect"),
    s_roi_id("roi_id"), s_roi_name("roi_name"), s_is_point_in_polygon("_is_point_in_polygon"),
    s_is_point_excluded("_is_point_excluded_for_polygon"), s_assign_roi_info("_assign_roi_info"),
    s_float("float"), s_len("len"), s_id("id"), s_empty_text(""), s_zone_warden("ZoneWarden"),
    s_new("__new__"), s_init("__init__");

// Objects taken at import and kept for the life of the process: what the
// shortcuts compare against, and constants.
struct Originals {
  PyObject* point = nullptr;     // shapely.geometry.Point
  PyObject* point_new = nullptr;   // its __new__ and __init__
  PyObject* point_init = nullptr;
  PyObject* id = nullptr;        // builtins.id
  PyTypeObject* float64 = nullptr;  // numpy.float64
  PyObject* in_polygon = nullptr;   // ZoneWarden's hooks, as in its class dict
  PyObject* excluded = nullptr;
  PyObject* assign = nullptr;
  PyObject* one = nullptr;       // 1.0
  PyObject* index0 = nullptr;    // 0
  PyObject* index1 = nullptr;    // 1
  PyObject* dtype_kw = nullptr;  // ("dtype",)
  PyObject* globals = nullptr;   // the module namespace
  PyCodeObject* filter_code = nullptr;  // names filter_in_roi in tracebacks
};
Originals originals;

// --- namespace lookups ----------------------------------------------------------

// The module-level (or builtin) name, as a function body would see it.
Ref lookup(NativeFunction* fn, PyObject* name) { return Ref::borrow(global(fn, name)); }

// The same, without raising: NULL when unbound.
PyObject* bound(NativeFunction* fn, PyObject* name) {
  PyObject* v = global(fn, name);
  if (!v) PyErr_Clear();
  return v;
}

PyObject* dict_entry(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v && PyErr_Occurred()) PyErr_Clear();
  return v;
}

// `<cls_name>.<attr>` (RoiData.POINTS_KEY, KEY.ROI_ID, ...).
Ref class_constant(NativeFunction* fn, PyObject* cls_name, PyObject* attr) {
  Ref cls = lookup(fn, cls_name);
  return cls ? getattr(cls.get(), attr) : Ref();
}

// `<cls_name>.<attr>` when reading it runs no Python code and so gives the
// same string every time: the name is bound to a class without metaclass
// whose attribute is a plain string. NULL (no exception) otherwise.
PyObject* pure_class_constant(NativeFunction* fn, PyObject* cls_name, PyObject* attr) {
  PyObject* cls = bound(fn, cls_name);
  if (!cls || Py_TYPE(cls) != &PyType_Type) return nullptr;
  PyObject* v = type_lookup(reinterpret_cast<PyTypeObject*>(cls), attr);
  return v && PyUnicode_CheckExact(v) ? v : nullptr;
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
  if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
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
bool prepare_records(NativeFunction* fn, PyObject* self) {
  Ref rois = getattr(self, s_rois);
  Ref it = rois ? Ref::steal(PyObject_GetIter(rois.get())) : Ref();
  if (!it) return false;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    PyObject* r = record.get();
    Ref np = lookup(fn, s_np);
    Ref array = np ? getattr(np.get(), s_array) : Ref();
    Ref key = array ? class_constant(fn, s_RoiData, s_POINTS_KEY) : Ref();
    Ref points = key ? Ref::steal(PyObject_GetItem(r, key.get())) : Ref();
    Ref np_again = points ? lookup(fn, s_np) : Ref();
    Ref float32 = np_again ? getattr(np_again.get(), s_float32) : Ref();
    Ref converted =
        float32 ? call_kw(array.get(), {points.get(), float32.get()}, originals.dtype_kw) : Ref();
    Ref target = converted ? class_constant(fn, s_RoiData, s_POINTS_KEY) : Ref();
    if (!target || PyObject_SetItem(r, target.get(), converted.get()) < 0) return false;

    Ref polygon_class = lookup(fn, s_Polygon);
    Ref key_again = polygon_class ? class_constant(fn, s_RoiData, s_POINTS_KEY) : Ref();
    Ref vertices = key_again ? Ref::steal(PyObject_GetItem(r, key_again.get())) : Ref();
    Ref polygon = vertices ? call(polygon_class.get(), {vertices.get()}) : Ref();
    if (!polygon || PyObject_SetItem(r, s_shapely_polygon, polygon.get()) < 0) return false;
  }
  return !PyErr_Occurred();
}

// Step 8: [record for record in rois if not record[INCLUDE_KEY]].
Ref exclusion_list(NativeFunction* fn, PyObject* self) {
  Ref exclusions = Ref::steal(PyList_New(0));
  Ref rois = exclusions ? getattr(self, s_rois) : Ref();
  Ref it = rois ? Ref::steal(PyObject_GetIter(rois.get())) : Ref();
  if (!it) return Ref();
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref key = class_constant(fn, s_RoiData, s_INCLUDE_KEY);
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
Ref overlaps_of(PyObject* record, PyObject* exclusions) {
  Ref kept = Ref::steal(PyList_New(0));
  if (!kept) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(exclusions); ++i) {
    Ref exclusion = Ref::borrow(PyList_GET_ITEM(exclusions, i));
    Ref mine = Ref::steal(PyObject_GetItem(record, s_shapely_polygon));
    Ref intersect = mine ? getattr(mine.get(), s_intersection) : Ref();
    Ref theirs = intersect ? Ref::steal(PyObject_GetItem(exclusion.get(), s_shapely_polygon)) : Ref();
    Ref overlap = theirs ? call(intersect.get(), {theirs.get()}) : Ref();
    Ref empty = overlap ? getattr(overlap.get(), s_is_empty) : Ref();
    int is_empty = empty ? truth(empty.get()) : -1;
    if (is_empty < 0) return Ref();
    if (!is_empty && PyList_Append(kept.get(), overlap.get()) < 0) return Ref();
  }
  return kept;
}

// Step 9: empty region, include regions and their overlaps.
bool split_records(NativeFunction* fn, PyObject* self, PyObject* exclusions) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref rois = zero ? getattr(self, s_rois) : Ref();
  Ref it = rois ? Ref::steal(PyObject_GetIter(rois.get())) : Ref();
  if (!it) return false;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    PyObject* r = record.get();
    // 9.1: len(record[POINTS_KEY]) == 0
    Ref len = lookup(fn, s_len);
    Ref key = len ? class_constant(fn, s_RoiData, s_POINTS_KEY) : Ref();
    Ref points = key ? Ref::steal(PyObject_GetItem(r, key.get())) : Ref();
    Ref count = points ? call(len.get(), {points.get()}) : Ref();
    Ref equal = count ? Ref::steal(PyObject_RichCompare(count.get(), zero.get(), Py_EQ)) : Ref();
    int no_points = equal ? truth(equal.get()) : -1;
    if (no_points < 0) return false;
    if (no_points) {
      if (PyObject_SetAttr(self, s_empty_polygon, r) < 0) return false;
      continue;
    }
    // 9.2: an include region
    Ref include_key = class_constant(fn, s_RoiData, s_INCLUDE_KEY);
    Ref include = include_key ? Ref::steal(PyObject_GetItem(r, include_key.get())) : Ref();
    int included = include ? truth(include.get()) : -1;
    if (included < 0) return false;
    if (!included) continue;  // 9.3
    Ref list = getattr(self, s_included_rois);
    if (!list || !call_method(list.get(), s_append, {r})) return false;
    Ref kept = overlaps_of(r, exclusions);
    Ref table = kept ? getattr(self, s_exclusion_intersections) : Ref();
    Ref id = table ? lookup(fn, s_id) : Ref();
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
  PyObject *self = argv[0], *polygons = argv[1], *frame_sz = argv[2];
  // 1, 2: the records as the caller gave them
  if (PyObject_SetAttr(self, s_polygons, Py_None) < 0) return nullptr;
  int given = truth(polygons);
  if (given < 0) return nullptr;
  if (given) {
    Ref copy = lookup(fn, s_copy);
    Ref deepcopy = copy ? getattr(copy.get(), s_deepcopy) : Ref();
    Ref kept = deepcopy ? call(deepcopy.get(), {polygons}) : Ref();
    if (!kept || PyObject_SetAttr(self, s_polygons, kept.get()) < 0) return nullptr;
  }
  // 3: the caller's list itself
  if (PyObject_SetAttr(self, s_rois, polygons) < 0) return nullptr;
  // 4: [float(frame_sz[0]), float(frame_sz[1])], or [1.0, 1.0]
  int sized = truth(frame_sz);
  if (sized < 0) return nullptr;
  Ref size;
  if (sized) {
    Ref to_float = lookup(fn, s_float);
    Ref w = to_float ? Ref::steal(PyObject_GetItem(frame_sz, originals.index0)) : Ref();
    Ref width = w ? call(to_float.get(), {w.get()}) : Ref();
    Ref to_float_again = width ? lookup(fn, s_float) : Ref();
    Ref h = to_float_again ? Ref::steal(PyObject_GetItem(frame_sz, originals.index1)) : Ref();
    Ref height = h ? call(to_float_again.get(), {h.get()}) : Ref();
    size = height ? pair_list(width.get(), height.get()) : Ref();
  } else {
    size = pair_list(originals.one, originals.one);
  }
  if (!size || PyObject_SetAttr(self, s_frame_sz, size.get()) < 0) return nullptr;
  // 5
  Ref included = Ref::steal(PyList_New(0));
  Ref table = Ref::steal(PyDict_New());
  if (!included || !table || PyObject_SetAttr(self, s_included_rois, included.get()) < 0 ||
      PyObject_SetAttr(self, s_empty_polygon, Py_None) < 0 ||
      PyObject_SetAttr(self, s_exclusion_intersections, table.get()) < 0) {
    return nullptr;
  }
  // 6
  Ref rois = getattr(self, s_rois);
  int any = rois ? truth(rois.get()) : -1;
  if (any < 0) return nullptr;
  if (!any) Py_RETURN_NONE;
  // 7, 8, 9
  if (!prepare_records(fn, self)) return nullptr;
  Ref exclusions = exclusion_list(fn, self);
  if (!exclusions || !split_records(fn, self, exclusions.get())) return nullptr;
  Py_RETURN_NONE;
}

// --- tags ---------------------------------------------------------------------------

// [record.get(RoiData.<key_name>, "") for record in matched]
Ref tag_values_of(NativeFunction* fn, PyObject* matched, PyObject* key_name) {
  Ref values = Ref::steal(PyList_New(0));
  Ref it = values ? Ref::steal(PyObject_GetIter(matched)) : Ref();
  if (!it) return Ref();
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref get = getattr(record.get(), s_get);
    Ref key = get ? class_constant(fn, s_RoiData, key_name) : Ref();
    Ref value = key ? call(get.get(), {key.get(), s_empty_text}) : Ref();
    if (!value || PyList_Append(values.get(), value.get()) < 0) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return values;
}

// The same for the matches of the shortcut; `key` is RoiData.<key_name>
// when that is a plain class constant (see pure_class_constant), else NULL.
// When every record is a dict and the key plain, nothing in the loop runs
// Python code, so the key read once stands for the read per record.
Ref tag_values(NativeFunction* fn, const std::vector<Ref>& matched, PyObject* key_name,
               PyObject* key, bool* ran_code) {
  for (const Ref& r : matched) {
    if (!PyDict_CheckExact(r.get())) key = nullptr;
  }
  if (!key) {
    *ran_code = true;
    Ref list = Ref::steal(PyList_New(0));
    for (const Ref& r : matched) {
      if (!list || PyList_Append(list.get(), r.get()) < 0) return Ref();
    }
    return list ? tag_values_of(fn, list.get(), key_name) : Ref();
  }
  Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matched.size())));
  if (!values) return Ref();
  for (std::size_t i = 0; i < matched.size(); ++i) {
    PyObject* v = PyDict_GetItemWithError(matched[i].get(), key);
    if (!v) {
      if (PyErr_Occurred()) return Ref();
      v = s_empty_text;
    }
    Py_INCREF(v);
    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), v);
  }
  return values;
}

// item_copy.info[KEY.ROI_ID] = ids; item_copy.info[KEY.ROI_NAME] = names, or
// item_copy.roi_id = ids; item_copy.roi_name = names. `keys` holds KEY.ROI_ID
// and KEY.ROI_NAME where they are plain class constants, else NULLs.
bool write_tags(NativeFunction* fn, PyObject* copy, PyObject* ids, PyObject* names, bool has_info,
                PyObject* const keys[2], bool* ran_code) {
  // `keys` stand for KEY.ROI_ID and KEY.ROI_NAME only while no Python code
  // has run since they were read; Python reads KEY.<name> after item_copy.info.
  bool quiet = plain_item_type(Py_TYPE(copy));
  if (!quiet) *ran_code = true;
  if (!has_info) {
    return PyObject_SetAttr(copy, s_roi_id, ids) == 0 &&
           PyObject_SetAttr(copy, s_roi_name, names) == 0;
  }
  PyObject* const attrs[2] = {s_ROI_ID, s_ROI_NAME};
  PyObject* const values[2] = {ids, names};
  for (int i = 0; i < 2; ++i) {
    Ref info = getattr(copy, s_info);
    if (!info) return false;
    PyObject* pure_key = quiet ? keys[i] : nullptr;
    Ref key = pure_key ? Ref::borrow(pure_key) : class_constant(fn, s_KEY, attrs[i]);
    if (!key) return false;
    if (pure_key && PyDict_CheckExact(info.get())) {
      // Replacing a value releases it, and its __del__ may run code.
      if (dict_get(info.get(), key.get())) {
        quiet = false;
        *ran_code = true;
      }
      if (PyDict_SetItem(info.get(), key.get(), values[i]) < 0) return false;
    } else {
      quiet = false;
      *ran_code = true;
      if (PyObject_SetItem(info.get(), key.get(), values[i]) < 0) return false;
    }
  }
  return true;
}

// --- the hooks ------------------------------------------------------------------------

PyObject* is_point_in_polygon(NativeFunction*, PyObject* const* argv) {
  PyObject *point_shapely = argv[0], *polygon = argv[1];
  Ref geometry = Ref::steal(PyObject_GetItem(polygon, s_shapely_polygon));
  return geometry ? call_method(geometry.get(), s_contains, {point_shapely}).release() : nullptr;
}

PyObject* is_point_excluded_for_polygon(NativeFunction* fn, PyObject* const* argv) {
  PyObject *self = argv[0], *point_shapely = argv[1], *polygon = argv[2];
  // self._exclusion_intersections.get(id(polygon), [])
  Ref table = getattr(self, s_exclusion_intersections);
  Ref get = table ? getattr(table.get(), s_get) : Ref();
  Ref id = get ? lookup(fn, s_id) : Ref();
  Ref identity = id ? call(id.get(), {polygon}) : Ref();
  Ref none_found = identity ? Ref::steal(PyList_New(0)) : Ref();
  Ref overlaps = none_found ? call(get.get(), {identity.get(), none_found.get()}) : Ref();
  Ref it = overlaps ? Ref::steal(PyObject_GetIter(overlaps.get())) : Ref();
  if (!it) return nullptr;
  while (Ref overlap = Ref::steal(PyIter_Next(it.get()))) {
    Ref hit = call_method(overlap.get(), s_contains, {point_shapely});
    int inside = hit ? truth(hit.get()) : -1;
    if (inside < 0) return nullptr;
    if (inside) Py_RETURN_TRUE;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* assign_roi_info(NativeFunction* fn, PyObject* const* argv) {
  PyObject *item_copy = argv[0], *matched_polygons = argv[1], *has_info_attr = argv[2];
  Ref ids = tag_values_of(fn, matched_polygons, s_ROI_ID_KEY);
  Ref names = ids ? tag_values_of(fn, matched_polygons, s_ROI_LABEL_KEY) : Ref();
  int has_info = names ? truth(has_info_attr) : -1;
  if (has_info < 0) return nullptr;
  bool ran_code = false;
  PyObject* keys[2] = {nullptr, nullptr};
  if (has_info) {
    keys[0] = pure_class_constant(fn, s_KEY, s_ROI_ID);
    keys[1] = pure_class_constant(fn, s_KEY, s_ROI_NAME);
  }
  if (!write_tags(fn, item_copy, ids.get(), names.get(), has_info != 0, keys, &ran_code)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// --- ZoneWarden.filter_in_roi -----------------------------------------------------

// A class keeps ZoneWarden's hooks when it does not override them and leaves
// the instance attributes the hooks read to the instance dict.
bool hooks_are_own(PyTypeObject* type) {
  return generic_attributes(type) && type->tp_dictoffset != 0 &&
         type_lookup(type, s_is_point_in_polygon) == originals.in_polygon &&
         type_lookup(type, s_is_point_excluded) == originals.excluded &&
         type_lookup(type, s_assign_roi_info) == originals.assign &&
         !type_lookup(type, s_exclusion_intersections);
}
TypeVerdict own_hooks(hooks_are_own);

// Making a Point has no effect besides the Point (so the shortcut may skip
// it) while the class still constructs as imported.
bool point_is_as_imported(PyTypeObject* type) {
  return type_lookup(type, s_new) == originals.point_new &&
         type_lookup(type, s_init) == originals.point_init;
}
TypeVerdict plain_points(point_is_as_imported);

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
  bool coordinates(double* px, double* py) const {
    if (native) {
      *px = x;
      *py = y;
      return true;
    }
    auto is_double = [](PyObject* o) {
      return PyFloat_CheckExact(o) || Py_TYPE(o) == originals.float64;
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

// One call of filter_in_roi from step 4 on.
class Pass {
 public:
  Pass(NativeFunction* fn, PyObject* self, PyObject* included, PyObject* empty, PyObject* fx,
       PyObject* fy, PyObject* ax, PyObject* ay)
      : fn_(fn), self_(self), included_(included), empty_(empty), fx_(fx), fy_(fy), ax_(ax),
        ay_(ay) {
    Ref intersections = environment();
    if (intersections) {
      prepared_ = prepared_for(self, included, intersections.get(), &records_);
    }
    checked_epoch_ = epoch_;
  }

  // Python code of the caller's may have run.
  void ran_code() { ++epoch_; }

  // Step 5, for one item.
  bool filter_item(PyObject* item, PyObject* result);

 private:
  Ref environment();
  bool shortcut_holds();
  Ref tlwh_of(PyObject* item, PyObject* attrs);
  Ref box_of_track(PyObject* item, PyObject* attrs);
  bool anchor_of(const Ref* box, Anchor* anchor);
  int contains(const Shape& shape, double px, double py, Anchor* anchor, Ref* point);
  bool match_natively(double px, double py, Anchor* anchor);
  bool match_through_hooks(Anchor* anchor);
  void read_constants();
  Ref copy_of(PyObject* item, PyObject* attrs);
  PyObject* const* tags_of(PyObject* record);
  int copy_and_tag_directly(PyObject* item, PyObject* attrs, PyObject* result);
  bool assign(PyObject* copy, bool has_info);

  NativeFunction* fn_;
  PyObject *self_, *included_, *empty_, *fx_, *fy_, *ax_, *ay_;
  std::shared_ptr<const Prepared> prepared_;
  std::vector<Ref> records_;  // included_'s records, as last checked
  unsigned epoch_ = 0, checked_epoch_ = 0;
  ShallowCopy copier_;
  std::vector<Ref> matches_;
  // The tags of records, as read in epoch tags_epoch_ (see tags_of).
  struct Tags {
    PyObject* record;
    PyObject* values[2];
  };
  std::vector<Tags> tags_;
  unsigned tags_epoch_ = 0;
  // Namespace values that cannot change while no Python code runs, read
  // once per epoch.
  struct Constants {
    bool read = false;
    unsigned epoch = 0;
    Ref copy_module;  // `copy`
    Ref id_key, label_key;  // RoiData.ROI_ID_KEY, RoiData.ROI_LABEL_KEY if plain
    Ref info_keys[2];       // KEY.ROI_ID, KEY.ROI_NAME if plain
  } constants_;
};

// The instance's `_exclusion_intersections` when the hooks are ZoneWarden's
// own and `Point` (unmodified) and `id` are the ones imported; NULL
// otherwise. Never raises.
Ref Pass::environment() {
  PyTypeObject* type = Py_TYPE(self_);
  if (Py_TYPE(type) != &PyType_Type || !own_hooks.check(type)) return Ref();
  Ref attrs = Ref::steal(PyObject_GenericGetDict(self_, nullptr));
  if (!attrs) {
    PyErr_Clear();
    return Ref();
  }
  for (PyObject* hook : {s_is_point_in_polygon.get(), s_is_point_excluded.get(),
                         s_assign_roi_info.get()}) {
    if (dict_entry(attrs.get(), hook)) return Ref();
  }
  PyObject* intersections = dict_entry(attrs.get(), s_exclusion_intersections);
  if (!intersections || !PyDict_CheckExact(intersections) ||
      bound(fn_, s_Point) != originals.point || bound(fn_, s_id) != originals.id ||
      !plain_points.check(reinterpret_cast<PyTypeObject*>(originals.point))) {
    return Ref();
  }
  return Ref::borrow(intersections);
}

bool Pass::shortcut_holds() {
  if (!prepared_) return false;
  if (checked_epoch_ == epoch_) return true;
  Ref intersections = environment();
  if (intersections && prepared_->matches(included_, intersections.get(), &records_)) {
    checked_epoch_ = epoch_;
    return true;
  }
  prepared_.reset();
  records_.clear();
  return false;
}

// item.tlwh; `attrs` is the instance dict of a plain item, or NULL.
Ref Pass::tlwh_of(PyObject* item, PyObject* attrs) {
  if (attrs) {
    PyObject* v = PyDict_GetItemWithError(attrs, s_tlwh);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
  } else {
    ran_code();
  }
  return getattr(item, s_tlwh);  // the attribute error, for a plain item
}

// item.info.get("rect", item.tlwh)
Ref Pass::box_of_track(PyObject* item, PyObject* attrs) {
  Ref info = attrs ? Ref::borrow(dict_entry(attrs, s_info)) : Ref();
  if (!info) {
    info = getattr(item, s_info);
    if (!info) return Ref();
  }
  if (PyDict_CheckExact(info.get())) {
    Ref tlwh = tlwh_of(item, attrs);
    if (!tlwh) return Ref();
    PyObject* rect = PyDict_GetItemWithError(info.get(), s_rect);
    if (rect) return Ref::borrow(rect);
    return PyErr_Occurred() ? Ref() : tlwh;
  }
  ran_code();
  Ref get = getattr(info.get(), s_get);
  Ref tlwh = get ? tlwh_of(item, nullptr) : Ref();
  return tlwh ? call(get.get(), {s_rect, tlwh.get()}) : Ref();
}

// Steps 5.3 and 5.4: rx = x + width * ax, ry = y + height * ay, divided by
// the frame size when width > 1.0 and height > 1.0.
bool Pass::anchor_of(const Ref* box, Anchor* anchor) {
  PyObject *x = box[0].get(), *y = box[1].get(), *width = box[2].get(), *height = box[3].get();
  Operand ox, oy, ow, oh, oax, oay;
  if (as_operand(x, &ox) && as_operand(width, &ow) && as_operand(ax_, &oax) &&
      (ow.is_float || oax.is_float) && as_operand(y, &oy) && as_operand(height, &oh) &&
      as_operand(ay_, &oay) && (oh.is_float || oay.is_float)) {
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
  Ref wide = Ref::steal(PyObject_RichCompare(width, originals.one, Py_GT));
  int pixels = wide ? truth(wide.get()) : -1;
  if (pixels > 0) {
    Ref tall = Ref::steal(PyObject_RichCompare(height, originals.one, Py_GT));
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

// shape.contains(Point(px, py)): 1, 0, or -1 with an exception set. The
// point object is made only when the geometry library has to decide.
int Pass::contains(const Shape& shape, double px, double py, Anchor* anchor, Ref* point) {
  if (shape.native) {
    if (outside_box(shape.area, px, py)) return 0;
    Location where = locate(shape.area, px, py);
    if (where == Location::Interior) return 1;
    if (where != Location::Unsure) return 0;
  }
  // The geometry library's Python code runs from here on.
  ran_code();
  if (!*point) {
    if (!anchor->make_objects()) return -1;
    *point = call(originals.point, {anchor->ox.get(), anchor->oy.get()});
    if (!*point) return -1;
  }
  Ref hit = call_method(shape.geometry.get(), s_contains, {point->get()});
  return hit ? truth(hit.get()) : -1;
}

// Step 5.6 on the native form: the same decisions as the hooks.
bool Pass::match_natively(double px, double py, Anchor* anchor) {
  Ref point;
  const std::vector<Region>& regions = prepared_->regions;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    int inside = contains(regions[i].polygon, px, py, anchor, &point);
    if (inside < 0) return false;
    if (!inside) continue;
    bool excluded = false;
    for (const Shape& overlap : regions[i].overlaps) {
      int hit = contains(overlap, px, py, anchor, &point);
      if (hit < 0) return false;
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
  Ref point_class = lookup(fn_, s_Point);
  Ref point = point_class ? call(point_class.get(), {anchor->ox.get(), anchor->oy.get()}) : Ref();
  if (!point) return false;
  ran_code();
  Ref it = Ref::steal(PyObject_GetIter(included_));
  if (!it) return false;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref inside = call_method(self_, s_is_point_in_polygon, {point.get(), record.get()});
    int in = inside ? truth(inside.get()) : -1;
    if (in < 0) return false;
    if (!in) continue;
    Ref excluded = call_method(self_, s_is_point_excluded, {point.get(), record.get()});
    int out = excluded ? truth(excluded.get()) : -1;
    if (out < 0) return false;
    if (!out) matches_.push_back(record);
  }
  return !PyErr_Occurred();
}

void Pass::read_constants() {
  if (constants_.read && constants_.epoch == epoch_) return;
  constants_.copy_module = Ref::borrow(bound(fn_, s_copy));
  constants_.id_key = Ref::borrow(pure_class_constant(fn_, s_RoiData, s_ROI_ID_KEY));
  constants_.label_key = Ref::borrow(pure_class_constant(fn_, s_RoiData, s_ROI_LABEL_KEY));
  constants_.info_keys[0] = Ref::borrow(pure_class_constant(fn_, s_KEY, s_ROI_ID));
  constants_.info_keys[1] = Ref::borrow(pure_class_constant(fn_, s_KEY, s_ROI_NAME));
  constants_.read = true;
  constants_.epoch = epoch_;
}

// copy.copy(item); `attrs` is the instance dict of a plain item, or NULL.
Ref Pass::copy_of(PyObject* item, PyObject* attrs) {
  read_constants();
  Ref copy_module = constants_.copy_module;
  if (!copy_module) return lookup(fn_, s_copy);  // raises NameError
  bool ran = false;
  Ref copy = copier_(copy_module.get(), item, attrs, epoch_, &ran);
  if (ran) ran_code();
  return copy;
}

// self._assign_roi_info(copy, matches, has_info)
bool Pass::assign(PyObject* copy, bool has_info) {
  if (!shortcut_holds()) {
    Ref matched = Ref::steal(PyList_New(0));
    for (const Ref& r : matches_) {
      if (!matched || PyList_Append(matched.get(), r.get()) < 0) return false;
    }
    Ref done = matched ? call_method(self_, s_assign_roi_info,
                                     {copy, matched.get(), has_info ? Py_True : Py_False})
                       : Ref();
    ran_code();
    return static_cast<bool>(done);
  }
  read_constants();
  bool ran = false;
  PyObject* const keys[2] = {constants_.info_keys[0].get(), constants_.info_keys[1].get()};
  Ref ids = tag_values(fn_, matches_, s_ROI_ID_KEY, constants_.id_key.get(), &ran);
  Ref names =
      ids ? tag_values(fn_, matches_, s_ROI_LABEL_KEY, constants_.label_key.get(), &ran) : Ref();
  bool done = names && write_tags(fn_, copy, ids.get(), names.get(), has_info, keys, &ran);
  if (ran) ran_code();
  return done;
}

// record.get(RoiData.ROI_ID_KEY, "") and record.get(RoiData.ROI_LABEL_KEY, "")
// for a record that is an exact dict, while both keys are plain constants;
// read once per epoch (nothing can change a record while no Python code
// runs, and the record keeps the values alive). NULL with an exception set
// on failure.
PyObject* const* Pass::tags_of(PyObject* record) {
  if (tags_epoch_ != epoch_) {
    tags_.clear();
    tags_epoch_ = epoch_;
  }
  for (const Tags& t : tags_) {
    if (t.record == record) return t.values;
  }
  Tags t{record, {nullptr, nullptr}};
  PyObject* const keys[2] = {constants_.id_key.get(), constants_.label_key.get()};
  for (int k = 0; k < 2; ++k) {
    t.values[k] = PyDict_GetItemWithError(record, keys[k]);
    if (!t.values[k]) {
      if (PyErr_Occurred()) return nullptr;
      t.values[k] = s_empty_text;
    }
  }
  tags_.push_back(t);
  return tags_.back().values;
}

// Step 5.7 for a detection whose copy and tagging run no Python code: the
// copy as copy.copy makes it, tagged as _assign_roi_info tags it, made in one
// go. 1 when done, -1 on failure, 0 when the steps have to be taken one by one.
int Pass::copy_and_tag_directly(PyObject* item, PyObject* attrs, PyObject* result) {
  if (!shortcut_holds()) return 0;
  read_constants();
  if (!constants_.copy_module || !constants_.id_key || !constants_.label_key) return 0;
  for (const Ref& r : matches_) {
    if (!PyDict_CheckExact(r.get())) return 0;
  }
  if (!copier_.stores_are_direct(constants_.copy_module.get(), item, attrs, epoch_)) return 0;
  // From here on no Python code runs: the order of copying and computing the
  // tags cannot be told.
  Ref ids = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matches_.size())));
  Ref tags = ids ? Ref::steal(PyList_New(static_cast<Py_ssize_t>(matches_.size()))) : Ref();
  if (!tags) return -1;
  for (std::size_t i = 0; i < matches_.size(); ++i) {
    PyObject* const* found = tags_of(matches_[i].get());
    if (!found) return -1;
    Py_INCREF(found[0]);
    PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), found[0]);
    Py_INCREF(found[1]);
    PyList_SET_ITEM(tags.get(), static_cast<Py_ssize_t>(i), found[1]);
  }
  PyObject* const names[2] = {s_roi_id, s_roi_name};
  PyObject* const values[2] = {ids.get(), tags.get()};
  Ref copy = copier_.with_attributes(item, attrs, names, values, 2);
  if (!copy) return -1;
  return PyList_Append(result, copy.get()) == 0 ? 1 : -1;
}

bool Pass::filter_item(PyObject* item, PyObject* result) {
  // 5.1: a track item when reading item.info succeeds.
  const bool plain = plain_item_type(Py_TYPE(item));
  Ref attrs, info;
  if (plain) {
    attrs = Ref::steal(PyObject_GenericGetDict(item, nullptr));
    if (!attrs) return false;
    info = Ref::borrow(PyDict_GetItemWithError(attrs.get(), s_info));
    if (!info && PyErr_Occurred()) return false;
  } else {
    ran_code();
    info = getattr(item, s_info);
    if (!info) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      PyErr_Clear();
    }
  }
  const bool has_info = static_cast<bool>(info);
  const unsigned attrs_epoch = epoch_;
  // 5.2: the box, unpacked into x, y, width, height.
  Ref box = has_info ? box_of_track(item, attrs.get()) : tlwh_of(item, attrs.get());
  if (!box) return false;
  Ref values[4];
  bool pure = true;
  if (!unpack(box.get(), 4, values, &pure)) return false;
  if (!pure) ran_code();
  // 5.3, 5.4
  Anchor anchor;
  if (!anchor_of(values, &anchor)) return false;
  // 5.5, 5.6
  matches_.clear();
  double px = 0, py = 0;
  if (anchor.coordinates(&px, &py) && std::isfinite(px) && std::isfinite(py) &&
      shortcut_holds()) {
    if (!match_natively(px, py, &anchor)) return false;
  } else if (!match_through_hooks(&anchor)) {
    return false;
  }
  // 5.7
  if (!matches_.empty()) {
    // The instance dict read in 5.1 still is the item's if nothing ran since.
    PyObject* item_attrs = attrs_epoch == epoch_ ? attrs.get() : nullptr;
    if (!has_info && item_attrs) {
      int done = copy_and_tag_directly(item, item_attrs, result);
      if (done != 0) return done > 0;
    }
    Ref copy = copy_of(item, item_attrs);
    if (!copy || !assign(copy.get(), has_info)) return false;
    return PyList_Append(result, copy.get()) == 0;
  }
  if (empty_ != Py_None) return PyList_Append(result, item) == 0;
  return true;
}

// Steps 1 to 6; NULL with the exception set on failure.
Ref filter_steps(NativeFunction* fn, PyObject* const* argv) {
  PyObject *self = argv[0], *det_or_trk = argv[1], *anchor_pt = argv[3];
  // 1
  Ref frame_sz = Ref::borrow(argv[2]);
  int given = truth(frame_sz.get());
  if (given < 0) return Ref();
  if (!given) {
    frame_sz = getattr(self, s_frame_sz);
    if (!frame_sz) return Ref();
  }
  // 2
  Ref rois = getattr(self, s_rois);
  int any = rois ? truth(rois.get()) : -1;
  if (any < 0) return Ref();
  if (!any) return Ref::borrow(det_or_trk);
  // 3
  Ref fx = Ref::steal(PyObject_GetItem(frame_sz.get(), originals.index0));
  Ref fy = fx ? Ref::steal(PyObject_GetItem(frame_sz.get(), originals.index1)) : Ref();
  if (!fy) return Ref();
  Ref anchor[2];
  bool pure = true;
  if (!unpack(anchor_pt, 2, anchor, &pure)) return Ref();
  // 4
  Ref included = getattr(self, s_included_rois);
  Ref empty = included ? getattr(self, s_empty_polygon) : Ref();
  Ref result = empty ? Ref::steal(PyList_New(0)) : Ref();
  if (!result) return Ref();
  Pass pass(fn, self, included.get(), empty.get(), fx.get(), fy.get(), anchor[0].get(),
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
void add_traceback_entry() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref frame = Ref::steal(
      originals.filter_code
          ? reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), originals.filter_code,
                                                    originals.globals, nullptr))
          : nullptr);
  if (!frame) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (frame) {
    // keeps an exception pending either way
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
  }
}

// The failure handler: exception_traceback(logger, e); return [].
PyObject* report_failure(NativeFunction* fn) {
  add_traceback_entry();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Ref error_type = Ref::steal(type), error = Ref::steal(value), error_tb = Ref::steal(traceback);
  // Inside the handler the caught exception is the one being handled.
  PyObject *outer_type, *outer_value, *outer_tb;
  PyErr_GetExcInfo(&outer_type, &outer_value, &outer_tb);
  PyErr_SetExcInfo(Ref(error_type).release(), Ref(error).release(), Ref(error_tb).release());
  Ref recorder = lookup(fn, s_exception_traceback);
  Ref logger = recorder ? lookup(fn, s_logger) : Ref();
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
  Ref result = filter_steps(fn, argv);
  if (result) return result.release();
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  return report_failure(fn);
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
  return make_class(m, "RoiData", no_bases, nullptr,
                    {{"POLYGON_INFO", text("polygon_roi")},
                     {"ROI_ID_KEY", text("roi_id")},
                     {"ROI_LABEL_KEY", text("label")},
                     {"INCLUDE_KEY", text("include")},
                     {"POINTS_KEY", text("points")},
                     {"POLYGON_EDGE", Ref::steal(PyLong_FromLong(1))}});
}

Ref make_zone_warden(PyObject* m, PyObject* no_bases) {
  Ref default_anchor = Ref::steal(Py_BuildValue("(dd)", 0.5, 0.5));
  if (!default_anchor) return Ref();
  Ref cls = make_class(
      m, "ZoneWarden", no_bases, nullptr,
      {{"__init__", make_function(init_spec, m, {Py_None, Py_None})},
       {"_is_point_excluded_for_polygon", make_function(excluded_spec, m)},
       {"filter_in_roi", make_function(filter_spec, m, {Py_None, default_anchor.get()})},
       {"_is_point_in_polygon", static_method(make_function(in_polygon_spec, m))},
       {"_assign_roi_info", static_method(make_function(assign_spec, m))}});
  if (!cls) return Ref();
  // The hooks as defined, for telling later whether they were overridden.
  PyObject* members = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
  originals.in_polygon = dict_entry(members, s_is_point_in_polygon);
  originals.excluded = dict_entry(members, s_is_point_excluded);
  originals.assign = dict_entry(members, s_assign_roi_info);
  if (!originals.in_polygon || !originals.excluded || !originals.assign) {
    PyErr_SetString(PyExc_SystemError, "ZoneWarden hooks missing");
    return Ref();
  }
  Py_INCREF(originals.in_polygon);
  Py_INCREF(originals.excluded);
  Py_INCREF(originals.assign);
  return cls;
}

// Objects the module keeps without binding them.
bool capture_originals(PyObject* copy, PyObject* np, PyObject* polygon, PyObject* point) {
  if (!capture_copy_machinery(copy)) return false;
  Ref multipolygon = import_from("shapely.geometry", "MultiPolygon");
  if (!multipolygon || !capture_geometry_library(polygon, multipolygon.get())) return false;
  Ref builtins = import_module("builtins");
  Ref id = builtins ? getattr(builtins.get(), s_id) : Ref();
  Ref float64 = id ? Ref::steal(PyObject_GetAttrString(np, "float64")) : Ref();
  if (!float64 || !PyType_Check(float64.get())) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "unexpected numpy layout");
    return false;
  }
  if (!PyType_Check(point) || Py_TYPE(point) != &PyType_Type) {
    PyErr_SetString(PyExc_ImportError, "unexpected shapely layout");
    return false;
  }
  originals.point = Ref::borrow(point).release();
  originals.point_new = type_lookup(reinterpret_cast<PyTypeObject*>(point), s_new);
  originals.point_init = type_lookup(reinterpret_cast<PyTypeObject*>(point), s_init);
  Py_XINCREF(originals.point_new);
  Py_XINCREF(originals.point_init);
  originals.id = id.release();
  originals.float64 = reinterpret_cast<PyTypeObject*>(float64.release());
  originals.one = PyFloat_FromDouble(1.0);
  originals.index0 = PyLong_FromLong(0);
  originals.index1 = PyLong_FromLong(1);
  originals.dtype_kw = Py_BuildValue("(s)", "dtype");
  return originals.one && originals.index0 && originals.index1 && originals.dtype_kw;
}

bool prepare_tracebacks(PyObject* module) {
  originals.globals = PyModule_GetDict(module);
  Py_XINCREF(originals.globals);
  originals.filter_code = PyCode_NewEmpty("ombrix_sdk/roi/zone_warden", "filter_in_roi", 1);
  return originals.globals && originals.filter_code;
}

PyModuleDef zone_warden_module = {PyModuleDef_HEAD_INIT, "ombrix_sdk.roi.zone_warden",
                                  kVersionHistory, -1, nullptr, nullptr, nullptr, nullptr,
                                  nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_zone_warden() {
  if (!init_interned() || !init_type_verdicts()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&zone_warden_module));
  if (!module) return nullptr;
  PyObject* m = module.get();
  // import copy; import numpy as np; from shapely.geometry import Polygon, Point
  Ref copy = import_module("copy");
  Ref np = copy ? import_module("numpy") : Ref();
  Ref polygon = np ? import_from("shapely.geometry", "Polygon") : Ref();
  Ref point = polygon ? import_from("shapely.geometry", "Point") : Ref();
  if (!point || !bind(m, "copy", copy) || !bind(m, "np", np) || !bind(m, "Polygon", polygon) ||
      !bind(m, "Point", point)) {
    return nullptr;
  }
  // from ombrix_sdk.constants import KEY
  if (!bind(m, "KEY", import_from("ombrix_sdk.constants", "KEY"))) return nullptr;
  // from ombrix_sdk.logging import exception_traceback, get_logger
  if (!bind(m, "exception_traceback", import_from("ombrix_sdk.logging", "exception_traceback"))) {
    return nullptr;
  }
  Ref get_logger = import_from("ombrix_sdk.logging", "get_logger");
  if (!bind(m, "get_logger", get_logger)) return nullptr;
  // logger = get_logger("ZoneWarden")
  if (!bind(m, "logger", call(get_logger.get(), {s_zone_warden}))) return nullptr;
  if (!capture_originals(copy.get(), np.get(), polygon.get(), point.get()) ||
      !prepare_tracebacks(m)) {
    return nullptr;
  }
  Ref no_bases = Ref::steal(PyTuple_New(0));
  if (!no_bases || !bind(m, "RoiData", make_roi_data(m, no_bases.get()))) return nullptr;
  if (!bind(m, "ZoneWarden", make_zone_warden(m, no_bases.get()))) return nullptr;
  return module.release();
}
