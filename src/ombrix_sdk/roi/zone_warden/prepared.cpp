#include "prepared.hpp"

#include <unordered_map>

#include "ombrix/types.hpp"
#include "plain.hpp"

namespace zone_warden {

using ombrix::Interned;
using ombrix::Ref;

namespace {

Interned s_shapely_polygon("shapely_polygon"), s_contains("contains"), s_is_valid("is_valid"),
    s_is_empty("is_empty"), s_tolist("tolist");

// The geometry library's own parts, taken at import.
struct Library {
  PyTypeObject* geometry = nullptr;  // base class of all geometries
  PyTypeObject* polygon = nullptr;
  PyTypeObject* multipolygon = nullptr;
  PyObject* contains = nullptr;  // the geometries' `contains` method
  PyObject* get_coordinates = nullptr;
  PyObject* get_exterior_ring = nullptr;
  PyObject* get_num_interior_rings = nullptr;
  PyObject* get_interior_ring = nullptr;
  PyObject* get_parts = nullptr;
};
Library library;

// Geometries of this class answer `contains` with the library's own method
// and carry no instance attributes that could shadow it.
bool geometry_type_is_plain(PyTypeObject* type) {
  return ombrix::generic_attributes(type) && type->tp_dictoffset == 0 &&
         ombrix::type_lookup(type, s_contains) == library.contains;
}
Verdicts plain_geometries(geometry_type_is_plain);

bool plain_geometry(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return PyObject_TypeCheck(obj, library.geometry) && Py_TYPE(type) == &PyType_Type &&
         plain_geometries.check(type);
}

// The instance -> entry table. Never destroyed: entries hold references that
// must not be released after the interpreter is gone.
using Table = std::unordered_map<PyObject*, std::shared_ptr<const Prepared>>;
Table* table = new Table();

PyObject* referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  if (PyWeakref_GetRef(weak, &obj) < 0) PyErr_Clear();
  Py_XDECREF(obj);  // only compared, never used
  return obj ? obj : Py_None;
#else
  return PyWeakref_GetObject(weak);
#endif
}

// Called when an instance with an entry goes away; `key` holds its address.
PyObject* forget_instance(PyObject* key, PyObject*) {
  void* self = PyLong_AsVoidPtr(key);
  if (!self && PyErr_Occurred()) return nullptr;
  auto it = table->find(static_cast<PyObject*>(self));
  if (it != table->end() && referent(it->second->watcher.get()) == Py_None) {
    std::shared_ptr<const Prepared> gone = std::move(it->second);
    table->erase(it);
  }
  Py_RETURN_NONE;
}
PyMethodDef forget_def = {"forget_instance", forget_instance, METH_O, nullptr};

// Sets *ring from the coordinates of a ring geometry. False, with no
// exception, when the ring cannot be handled natively.
bool read_ring(PyObject* ring_geometry, Ring* ring) {
  Ref coords = ombrix::call(library.get_coordinates, {ring_geometry});
  Ref rows = coords ? ombrix::call_method(coords.get(), s_tolist, {}) : Ref();
  if (!rows || !PyList_CheckExact(rows.get())) {
    PyErr_Clear();
    return false;
  }
  std::vector<double> xy;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
    PyObject* row = PyList_GET_ITEM(rows.get(), i);
    if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) < 2) return false;
    for (Py_ssize_t j = 0; j < 2; ++j) {
      PyObject* v = PyList_GET_ITEM(row, j);
      if (!PyFloat_CheckExact(v)) return false;
      xy.push_back(PyFloat_AS_DOUBLE(v));
    }
  }
  return make_ring(xy, ring);
}

bool read_polygon(PyObject* polygon, PolygonRings* rings) {
  Ref shell = ombrix::call(library.get_exterior_ring, {polygon});
  Ref count = shell ? ombrix::call(library.get_num_interior_rings, {polygon}) : Ref();
  Py_ssize_t holes = count ? PyNumber_AsSsize_t(count.get(), nullptr) : -1;
  if (holes < 0 || !read_ring(shell.get(), &rings->shell)) {
    PyErr_Clear();
    return false;
  }
  rings->holes.resize(static_cast<std::size_t>(holes));
  for (Py_ssize_t i = 0; i < holes; ++i) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    Ref hole = index ? ombrix::call(library.get_interior_ring, {polygon, index.get()}) : Ref();
    if (!hole || !read_ring(hole.get(), &rings->holes[static_cast<std::size_t>(i)])) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

int truth_of(PyObject* obj, PyObject* name) {
  Ref v = ombrix::getattr(obj, name);
  return v ? ombrix::truth(v.get()) : -1;
}

// The native form of a valid, non-empty polygon or multipolygon; anything
// else stays with the library. Never raises.
Shape make_shape(PyObject* geometry) {
  Shape shape;
  shape.geometry = Ref::borrow(geometry);
  PyTypeObject* type = Py_TYPE(geometry);
  if (type != library.polygon && type != library.multipolygon) return shape;
  if (truth_of(geometry, s_is_valid) != 1 || truth_of(geometry, s_is_empty) != 0) {
    PyErr_Clear();
    return shape;
  }
  Area area;
  if (type == library.polygon) {
    area.parts.resize(1);
    if (!read_polygon(geometry, &area.parts[0])) return shape;
  } else {
    Ref parts = ombrix::call(library.get_parts, {geometry});
    Ref list = parts ? Ref::steal(PySequence_List(parts.get())) : Ref();
    if (!list) {
      PyErr_Clear();
      return shape;
    }
    area.parts.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      PyObject* part = PyList_GET_ITEM(list.get(), i);
      if (Py_TYPE(part) != library.polygon ||
          !read_polygon(part, &area.parts[static_cast<std::size_t>(i)])) {
        return shape;
      }
    }
  }
  finish_area(&area);
  shape.area = std::move(area);
  shape.native = true;
  return shape;
}

void note_type(Prepared* p, PyObject* geometry) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(geometry));
  for (const Ref& t : p->geometry_types) {
    if (t.get() == type) return;
  }
  p->geometry_types.push_back(Ref::borrow(type));
}

// Builds an entry from the instance's current state; nullptr when the state
// is not made of exact lists and dicts of plain geometries.
std::shared_ptr<Prepared> build(PyObject* self, PyObject* included, PyObject* intersections) {
  if (!PyList_CheckExact(included) || !PyDict_CheckExact(intersections)) return nullptr;
  // First the structure, on references of our own: building the shapes
  // below calls into the geometry library.
  struct Raw {
    Ref record, id_key, polygon;
    std::vector<Ref> overlaps;
  };
  std::vector<Raw> raw(static_cast<std::size_t>(PyList_GET_SIZE(included)));
  for (std::size_t i = 0; i < raw.size(); ++i) {
    Raw& r = raw[i];
    r.record = Ref::borrow(PyList_GET_ITEM(included, static_cast<Py_ssize_t>(i)));
    if (!PyDict_CheckExact(r.record.get())) return nullptr;
    r.polygon = Ref::borrow(PyDict_GetItemWithError(r.record.get(), s_shapely_polygon));
    r.id_key = Ref::steal(PyLong_FromVoidPtr(r.record.get()));
    if (!r.polygon || !r.id_key || !plain_geometry(r.polygon.get())) {
      PyErr_Clear();
      return nullptr;
    }
    PyObject* list = PyDict_GetItemWithError(intersections, r.id_key.get());
    if (!list) {
      if (PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
      }
      continue;  // `.get(id(record), [])`: no overlaps
    }
    if (!PyList_CheckExact(list)) return nullptr;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(list); ++j) {
      PyObject* g = PyList_GET_ITEM(list, j);
      if (!plain_geometry(g)) return nullptr;
      r.overlaps.push_back(Ref::borrow(g));
    }
  }
  auto p = std::make_shared<Prepared>();
  p->regions.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    Region& region = p->regions[i];
    region.record = raw[i].record.get();
    region.id_key = raw[i].id_key;
    region.polygon = make_shape(raw[i].polygon.get());
    note_type(p.get(), raw[i].polygon.get());
    for (const Ref& g : raw[i].overlaps) {
      region.overlaps.push_back(make_shape(g.get()));
      note_type(p.get(), g.get());
    }
  }
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  Ref callback = key ? Ref::steal(PyCFunction_NewEx(&forget_def, key.get(), nullptr)) : Ref();
  p->watcher = callback ? Ref::steal(PyWeakref_NewRef(self, callback.get())) : Ref();
  if (!p->watcher) {
    PyErr_Clear();
    return nullptr;
  }
  return p;
}

}  // namespace

bool Prepared::matches(PyObject* included, PyObject* intersections,
                       std::vector<Ref>* records) const {
  records->clear();
  if (!PyList_CheckExact(included) || !PyDict_CheckExact(intersections) ||
      PyList_GET_SIZE(included) != static_cast<Py_ssize_t>(regions.size())) {
    return false;
  }
  for (const Ref& type : geometry_types) {
    if (!plain_geometries.check(reinterpret_cast<PyTypeObject*>(type.get()))) return false;
  }
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const Region& region = regions[i];
    PyObject* record = PyList_GET_ITEM(included, static_cast<Py_ssize_t>(i));
    if (record != region.record || !PyDict_CheckExact(record)) return false;
    PyObject* polygon = PyDict_GetItemWithError(record, s_shapely_polygon);
    if (polygon != region.polygon.geometry.get()) {
      PyErr_Clear();
      return false;
    }
    PyObject* list = PyDict_GetItemWithError(intersections, region.id_key.get());
    if (!list) {
      if (PyErr_Occurred() || !region.overlaps.empty()) {
        PyErr_Clear();
        return false;
      }
    } else {
      if (!PyList_CheckExact(list) ||
          PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(region.overlaps.size())) {
        return false;
      }
      for (std::size_t j = 0; j < region.overlaps.size(); ++j) {
        if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(j)) !=
            region.overlaps[j].geometry.get()) {
          return false;
        }
      }
    }
    records->push_back(Ref::borrow(record));
  }
  return true;
}

bool capture_geometry_library(PyObject* polygon, PyObject* multipolygon) {
  Ref shapely = Ref::steal(PyImport_ImportModule("shapely"));
  if (!shapely) return false;
  // Kept for the life of the process.
  auto take = [&](const char* name) { return PyObject_GetAttrString(shapely.get(), name); };
  PyObject* geometry = take("Geometry");
  if (!geometry || !PyType_Check(geometry) || !PyType_Check(polygon) ||
      !PyType_Check(multipolygon)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "unexpected shapely layout");
    return false;
  }
  library.geometry = reinterpret_cast<PyTypeObject*>(geometry);
  Py_INCREF(polygon);
  Py_INCREF(multipolygon);
  library.polygon = reinterpret_cast<PyTypeObject*>(polygon);
  library.multipolygon = reinterpret_cast<PyTypeObject*>(multipolygon);
  library.contains = ombrix::type_lookup(library.polygon, s_contains);
  if (!library.contains) {
    PyErr_SetString(PyExc_ImportError, "unexpected shapely layout");
    return false;
  }
  Py_INCREF(library.contains);
  library.get_coordinates = take("get_coordinates");
  library.get_exterior_ring = library.get_coordinates ? take("get_exterior_ring") : nullptr;
  library.get_num_interior_rings = library.get_exterior_ring ? take("get_num_interior_rings") : nullptr;
  library.get_interior_ring = library.get_num_interior_rings ? take("get_interior_ring") : nullptr;
  library.get_parts = library.get_interior_ring ? take("get_parts") : nullptr;
  return library.get_parts != nullptr;
}

std::shared_ptr<const Prepared> prepared_for(PyObject* self, PyObject* included,
                                             PyObject* intersections,
                                             std::vector<Ref>* records) {
  auto it = table->find(self);
  if (it != table->end()) {
    std::shared_ptr<const Prepared> entry = it->second;
    if (referent(entry->watcher.get()) == self && entry->matches(included, intersections, records)) {
      return entry;
    }
  }
  std::shared_ptr<const Prepared> entry = build(self, included, intersections);
  if (!entry) {
    table->erase(self);
    records->clear();
    return nullptr;
  }
  std::shared_ptr<const Prepared> replaced = std::move((*table)[self]);
  (*table)[self] = entry;
  replaced.reset();
  // Building called into the geometry library; check again.
  if (!entry->matches(included, intersections, records)) return nullptr;
  return entry;
}

}  // namespace zone_warden
