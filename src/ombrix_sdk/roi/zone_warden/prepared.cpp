#include "prepared.hpp"

#include <utility>

#include "ombrix/types.hpp"

namespace zone_warden {

using ombrix::Ref;

bool geometry_type_is_plain(const State& st, PyTypeObject* type) {
  return ombrix::generic_attributes(type) && type->tp_dictoffset == 0 && mro_keys_are_plain(type) &&
         ombrix::type_lookup(type, st.contains).get() == st.library_contains.get();
}

namespace {

// Geometries of this class answer `contains` with the library's own method
// and carry no instance attributes that could shadow it.
bool plain_geometry(State& st, PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return PyObject_TypeCheck(obj, st.geometry_base.type()) && Py_TYPE(type) == &PyType_Type &&
         st.plain_geometries.check(st, type);
}

// True when every key of `d` is an exact int: looking an int up in it runs no
// Python code.
bool int_keys_only(PyObject* d) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(d, &pos, &key, &value)) {
    if (!PyLong_CheckExact(key)) return false;
  }
  return true;
}

// The filter's lookups in a record run no code.
bool plain_record(State& st, PyObject* record) {
  return PyDict_CheckExact(record) &&
         lookups_run_no_code(st.record_keys, record);
}

PyObject* referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  if (PyWeakref_GetRef(weak, &obj) < 0) PyErr_Clear();
  Py_XDECREF(obj);  // only compared, never used
  return obj ? obj : Py_None;
#else
  return PyWeakref_GetObject(weak);  // only compared, never used
#endif
}

// Drops the entry `it` of the table: out of the table first, released after,
// since releasing it may run code (a geometry's finalizer) that uses the table.
void drop(PreparedTable::Map& table, PreparedTable::Map::iterator it) {
  std::shared_ptr<const Prepared> gone = std::move(it->second);
  table.erase(it);
}

// Called when an instance with an entry goes away. `self` is (module, the
// instance's address): the module keeps its state, and so the table, alive.
PyObject* forget_instance(PyObject* self, PyObject*) {
  PyObject* module = PyTuple_GET_ITEM(self, 0);
  void* instance = PyLong_AsVoidPtr(PyTuple_GET_ITEM(self, 1));
  if (!instance && PyErr_Occurred()) return nullptr;
  State* st = ombrix::ModuleDefinition<State>::of(module);
  if (!st) Py_RETURN_NONE;
  auto& table = st->prepared.entries;
  auto it = table.find(static_cast<PyObject*>(instance));
  if (it != table.end() && referent(it->second->watcher.get()) == Py_None) drop(table, it);
  Py_RETURN_NONE;
}
PyMethodDef forget_def = {"forget_instance", forget_instance, METH_O, nullptr};

// Sets *ring from the coordinates of a ring geometry. False, with no
// exception, when the ring cannot be handled natively.
bool read_ring(State& st, PyObject* ring_geometry, Ring* ring) {
  Ref coords = ombrix::call(st.get_coordinates.get(), {ring_geometry});
  Ref rows = coords ? ombrix::call_method(coords.get(), st.tolist, {}) : Ref();
  if (!rows || !PyList_CheckExact(rows.get())) {
    PyErr_Clear();
    return false;
  }
  // The list is new and ours: reading it runs no code.
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

bool read_polygon(State& st, PyObject* polygon, PolygonRings* rings) {
  Ref shell = ombrix::call(st.get_exterior_ring.get(), {polygon});
  Ref count = shell ? ombrix::call(st.get_num_interior_rings.get(), {polygon}) : Ref();
  Py_ssize_t holes = count ? PyNumber_AsSsize_t(count.get(), nullptr) : -1;
  if (holes < 0 || !read_ring(st, shell.get(), &rings->shell)) {
    PyErr_Clear();
    return false;
  }
  rings->holes.resize(static_cast<std::size_t>(holes));
  for (Py_ssize_t i = 0; i < holes; ++i) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    Ref hole = index ? ombrix::call(st.get_interior_ring.get(), {polygon, index.get()}) : Ref();
    if (!hole || !read_ring(st, hole.get(), &rings->holes[static_cast<std::size_t>(i)])) {
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
Shape make_shape(State& st, PyObject* geometry) {
  Shape shape;
  shape.geometry = Ref::borrow(geometry);
  PyTypeObject* type = Py_TYPE(geometry);
  if (type != st.polygon_type.type() && type != st.multipolygon_type.type()) return shape;
  if (truth_of(geometry, st.is_valid) != 1 || truth_of(geometry, st.is_empty) != 0) {
    PyErr_Clear();
    return shape;
  }
  Area area;
  if (type == st.polygon_type.type()) {
    area.parts.resize(1);
    if (!read_polygon(st, geometry, &area.parts[0])) return shape;
  } else {
    Ref parts = ombrix::call(st.get_parts.get(), {geometry});
    Ref list = parts ? Ref::steal(PySequence_List(parts.get())) : Ref();
    if (!list) {
      PyErr_Clear();
      return shape;
    }
    area.parts.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      // Owned: reading the part calls into the library.
      const Ref part = Ref::borrow(PyList_GET_ITEM(list.get(), i));
      if (Py_TYPE(part.get()) != st.polygon_type.type() ||
          !read_polygon(st, part.get(), &area.parts[static_cast<std::size_t>(i)])) {
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
// is not made of exact lists and dicts of plain geometries, or when the
// filter's lookups in it could run code.
std::shared_ptr<Prepared> build(State& st, PyObject* self, PyObject* included,
                                PyObject* intersections, bool* ran_code) {
  if (!PyList_CheckExact(included) || !PyDict_CheckExact(intersections)) return nullptr;
  // First the structure, on references of our own, before anything runs
  // code: every lookup below is of a str in a dict of str keys or of an int
  // in a dict of int keys.
  struct Raw {
    Ref record, id_key, polygon;
    std::vector<Ref> overlaps;
  };
  if (!int_keys_only(intersections)) return nullptr;
  std::vector<Raw> raw(static_cast<std::size_t>(PyList_GET_SIZE(included)));
  for (std::size_t i = 0; i < raw.size(); ++i) {
    Raw& r = raw[i];
    r.record = Ref::borrow(PyList_GET_ITEM(included, static_cast<Py_ssize_t>(i)));
    if (!plain_record(st, r.record.get())) return nullptr;
    r.id_key = Ref::steal(PyLong_FromVoidPtr(r.record.get()));
    Ref list;
    if (!r.id_key || !ombrix::dict_lookup(r.record.get(), st.shapely_polygon, &r.polygon) ||
        !r.polygon || !plain_geometry(st, r.polygon.get()) ||
        !ombrix::dict_lookup(intersections, r.id_key.get(), &list)) {
      PyErr_Clear();
      return nullptr;
    }
    if (!list) continue;  // `.get(id(record), [])`: no overlaps
    if (!PyList_CheckExact(list.get())) return nullptr;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(list.get()); ++j) {
      Ref g = Ref::borrow(PyList_GET_ITEM(list.get(), j));
      if (!plain_geometry(st, g.get())) return nullptr;
      r.overlaps.push_back(std::move(g));
    }
  }
  // The geometry library's Python code runs from here on.
  *ran_code = true;
  auto p = std::make_shared<Prepared>();
  p->regions.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    Region& region = p->regions[i];
    region.record = raw[i].record.get();
    region.id_key = raw[i].id_key;
    region.polygon = make_shape(st, raw[i].polygon.get());
    note_type(p.get(), raw[i].polygon.get());
    for (const Ref& g : raw[i].overlaps) {
      region.overlaps.push_back(make_shape(st, g.get()));
      note_type(p.get(), g.get());
    }
  }
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  Ref bound = key ? Ref::steal(PyTuple_Pack(2, st.module(), key.get())) : Ref();
  Ref callback = bound ? Ref::steal(PyCFunction_NewEx(&forget_def, bound.get(), nullptr)) : Ref();
  p->watcher = callback ? Ref::steal(PyWeakref_NewRef(self, callback.get())) : Ref();
  if (!p->watcher) {
    PyErr_Clear();
    return nullptr;
  }
  return p;
}

}  // namespace

int Prepared::traverse(visitproc visit, void* arg) const {
  Py_VISIT(watcher.get());
  for (const Region& region : regions) {
    Py_VISIT(region.polygon.geometry.get());
    for (const Shape& overlap : region.overlaps) Py_VISIT(overlap.geometry.get());
  }
  for (const Ref& type : geometry_types) Py_VISIT(type.get());
  return 0;
}

int PreparedTable::traverse(visitproc visit, void* arg) {
  for (const auto& entry : entries) {
    if (int r = entry.second->traverse(visit, arg)) return r;
  }
  return 0;
}

void PreparedTable::clear() {
  // Out of the table first: releasing the entries may run code.
  Map gone;
  gone.swap(entries);
}

bool Prepared::matches(State& st, PyObject* included, PyObject* intersections,
                       std::vector<Ref>* records) const {
  records->clear();
  if (!PyList_CheckExact(included) || !PyDict_CheckExact(intersections) ||
      PyList_GET_SIZE(included) != static_cast<Py_ssize_t>(regions.size()) ||
      !int_keys_only(intersections)) {
    return false;
  }
  for (const Ref& type : geometry_types) {
    if (!st.plain_geometries.check(st, reinterpret_cast<PyTypeObject*>(type.get()))) return false;
  }
  // Every lookup below is of a str in a dict of str keys or of an int in a
  // dict of int keys: nothing runs, and values are compared by identity.
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const Region& region = regions[i];
    Ref record = Ref::borrow(PyList_GET_ITEM(included, static_cast<Py_ssize_t>(i)));
    if (record.get() != region.record || !plain_record(st, record.get())) return false;
    Ref polygon, list;
    if (!ombrix::dict_lookup(record.get(), st.shapely_polygon, &polygon) ||
        !ombrix::dict_lookup(intersections, region.id_key.get(), &list)) {
      PyErr_Clear();
      return false;
    }
    if (polygon.get() != region.polygon.geometry.get()) return false;
    if (!list) {
      if (!region.overlaps.empty()) return false;
    } else {
      if (!PyList_CheckExact(list.get()) ||
          PyList_GET_SIZE(list.get()) != static_cast<Py_ssize_t>(region.overlaps.size())) {
        return false;
      }
      for (std::size_t j = 0; j < region.overlaps.size(); ++j) {
        if (PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(j)) !=
            region.overlaps[j].geometry.get()) {
          return false;
        }
      }
    }
    records->push_back(std::move(record));
  }
  return true;
}

bool capture_geometry_library(State& st, PyObject* polygon, PyObject* multipolygon) {
  Ref shapely = Ref::steal(PyImport_ImportModule("shapely"));
  if (!shapely) return false;
  auto take = [&](const char* name) {
    return Ref::steal(PyObject_GetAttrString(shapely.get(), name));
  };
  if (!st.geometry_base.set(take("Geometry"))) return false;
  if (!PyType_Check(st.geometry_base.get()) || !PyType_Check(polygon) ||
      !PyType_Check(multipolygon)) {
    PyErr_SetString(PyExc_ImportError, "unexpected shapely layout");
    return false;
  }
  st.polygon_type.set(Ref::borrow(polygon));
  st.multipolygon_type.set(Ref::borrow(multipolygon));
  if (!st.library_contains.set(ombrix::type_lookup(st.polygon_type.type(), st.contains))) {
    PyErr_SetString(PyExc_ImportError, "unexpected shapely layout");
    return false;
  }
  return st.get_coordinates.set(take("get_coordinates")) &&
         st.get_exterior_ring.set(take("get_exterior_ring")) &&
         st.get_num_interior_rings.set(take("get_num_interior_rings")) &&
         st.get_interior_ring.set(take("get_interior_ring")) && st.get_parts.set(take("get_parts"));
}

std::shared_ptr<const Prepared> prepared_for(State& st, PyObject* self, PyObject* included,
                                             PyObject* intersections, std::vector<Ref>* records,
                                             bool* ran_code) {
  auto& table = st.prepared.entries;
  auto it = table.find(self);
  if (it != table.end()) {
    std::shared_ptr<const Prepared> entry = it->second;
    if (referent(entry->watcher.get()) == self &&
        entry->matches(st, included, intersections, records)) {
      return entry;
    }
  }
  std::shared_ptr<const Prepared> entry = build(st, self, included, intersections, ran_code);
  // Building may have run code that changed the table: look again.
  it = table.find(self);
  if (!entry) {
    if (it != table.end()) drop(table, it);
    records->clear();
    return nullptr;
  }
  std::shared_ptr<const Prepared> replaced;
  if (it != table.end()) {
    replaced = std::move(it->second);
    it->second = entry;
  } else {
    table.emplace(self, entry);
  }
  replaced.reset();  // may run code, once the table is consistent
  // Building called into the geometry library; check again.
  if (!entry->matches(st, included, intersections, records)) return nullptr;
  return entry;
}

}  // namespace zone_warden
