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
  // Fails only for an object that is not a weak reference, which `weak`
  // always is.
  PyObject* obj = nullptr;
  PyWeakref_GetRef(weak, &obj);
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

// What reading a geometry gave: its native form, a shape the native test
// does not handle (no exception), or an error that the caller propagates.
// The library is asked only about exact polygons and multipolygons, which it
// reads without failing; an error there is a failed allocation, or an
// exception a signal handler raised while the library ran, and the plain
// algorithm would have had it too, at some call of its own.
enum class Read { Done, Unhandled, Failed };

// Sets *ring from the coordinates of a ring geometry.
Read read_ring(State& st, PyObject* ring_geometry, Ring* ring) {
  Ref coords = ombrix::call(st.get_coordinates.get(), {ring_geometry});
  Ref rows = coords ? ombrix::call_method(coords.get(), st.tolist, {}) : Ref();
  if (!rows) return Read::Failed;
  if (!PyList_CheckExact(rows.get())) return Read::Unhandled;
  // The list is new and ours: reading it runs no code.
  std::vector<double> xy;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
    PyObject* row = PyList_GET_ITEM(rows.get(), i);
    if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) < 2) return Read::Unhandled;
    for (Py_ssize_t j = 0; j < 2; ++j) {
      PyObject* v = PyList_GET_ITEM(row, j);
      if (!PyFloat_CheckExact(v)) return Read::Unhandled;
      xy.push_back(PyFloat_AS_DOUBLE(v));
    }
  }
  return make_ring(xy, ring) ? Read::Done : Read::Unhandled;
}

Read read_polygon(State& st, PyObject* polygon, PolygonRings* rings) {
  Ref shell = ombrix::call(st.get_exterior_ring.get(), {polygon});
  Ref count = shell ? ombrix::call(st.get_num_interior_rings.get(), {polygon}) : Ref();
  if (!count) return Read::Failed;
  // A numpy integer: converting it runs no Python code.
  const Py_ssize_t holes = PyNumber_AsSsize_t(count.get(), nullptr);
  if (holes < 0) return PyErr_Occurred() ? Read::Failed : Read::Unhandled;
  Read read = read_ring(st, shell.get(), &rings->shell);
  if (read != Read::Done) return read;
  rings->holes.resize(static_cast<std::size_t>(holes));
  for (Py_ssize_t i = 0; i < holes; ++i) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    Ref hole = index ? ombrix::call(st.get_interior_ring.get(), {polygon, index.get()}) : Ref();
    if (!hole) return Read::Failed;
    read = read_ring(st, hole.get(), &rings->holes[static_cast<std::size_t>(i)]);
    if (read != Read::Done) return read;
  }
  return Read::Done;
}

// obj.<name> is true: 1, 0, or -1 with an exception set.
int truth_of(PyObject* obj, PyObject* name) {
  Ref v = ombrix::getattr(obj, name);
  return v ? ombrix::truth(v.get()) : -1;
}

// The native form of a valid, non-empty polygon or multipolygon into
// *shape; anything else stays with the library. False with an exception set
// when the library failed.
bool make_shape(State& st, PyObject* geometry, Shape* shape) {
  shape->geometry = Ref::borrow(geometry);
  PyTypeObject* type = Py_TYPE(geometry);
  if (type != st.polygon_type.type() && type != st.multipolygon_type.type()) return true;
  const int valid = truth_of(geometry, st.is_valid);
  const int empty = valid == 1 ? truth_of(geometry, st.is_empty) : 0;
  if (valid < 0 || empty < 0) return false;
  if (!valid || empty) return true;
  Area area;
  Read read = Read::Done;
  if (type == st.polygon_type.type()) {
    area.parts.resize(1);
    read = read_polygon(st, geometry, &area.parts[0]);
  } else {
    Ref parts = ombrix::call(st.get_parts.get(), {geometry});
    Ref list = parts ? Ref::steal(PySequence_List(parts.get())) : Ref();
    if (!list) return false;
    area.parts.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (Py_ssize_t i = 0; read == Read::Done && i < PyList_GET_SIZE(list.get()); ++i) {
      // Owned: reading the part calls into the library.
      const Ref part = Ref::borrow(PyList_GET_ITEM(list.get(), i));
      read = Py_TYPE(part.get()) != st.polygon_type.type()
                 ? Read::Unhandled
                 : read_polygon(st, part.get(), &area.parts[static_cast<std::size_t>(i)]);
    }
  }
  if (read == Read::Failed) return false;
  if (read == Read::Unhandled) return true;
  finish_area(&area);
  shape->area = std::move(area);
  shape->native = true;
  return true;
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
// filter's lookups in it could run code, and nullptr with an exception set
// when the library failed (*failed is set then).
std::shared_ptr<Prepared> build(State& st, PyObject* self, PyObject* included,
                                PyObject* intersections, bool* ran_code, bool* failed) {
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
    // The lookups run no code (plain keys) and so cannot fail but for
    // memory: the error is kept.
    if (!r.id_key || !ombrix::dict_lookup(r.record.get(), st.shapely_polygon, &r.polygon) ||
        !ombrix::dict_lookup(intersections, r.id_key.get(), &list)) {
      *failed = true;
      return nullptr;
    }
    if (!r.polygon || !plain_geometry(st, r.polygon.get())) return nullptr;
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
    if (!make_shape(st, raw[i].polygon.get(), &region.polygon)) {
      *failed = true;
      return nullptr;
    }
    note_type(p.get(), raw[i].polygon.get());
    for (const Ref& g : raw[i].overlaps) {
      region.overlaps.emplace_back();
      if (!make_shape(st, g.get(), &region.overlaps.back())) {
        *failed = true;
        return nullptr;
      }
      note_type(p.get(), g.get());
    }
  }
  // ZoneWarden's instances take weak references (its own class, and a
  // subclass keeps __weakref__ unless it declares __slots__ without it).
  if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self))) return nullptr;
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  Ref bound = key ? Ref::steal(PyTuple_Pack(2, st.module(), key.get())) : Ref();
  Ref callback = bound ? Ref::steal(PyCFunction_NewEx(&forget_def, bound.get(), nullptr)) : Ref();
  p->watcher = callback ? Ref::steal(PyWeakref_NewRef(self, callback.get())) : Ref();
  if (!p->watcher) {
    *failed = true;
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
    // Plain keys: these lookups run no code and do not fail.
    if (!ombrix::dict_lookup(record.get(), st.shapely_polygon, &polygon) ||
        !ombrix::dict_lookup(intersections, region.id_key.get(), &list)) {
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

namespace {

// The namespace of the module `name`, imported; empty without an exception
// when there is no such module. Nothing is imported once *failed is set.
Ref namespace_of(const char* name, bool* failed) {
  if (*failed) return Ref();  // an earlier import's error is pending
  Ref module = Ref::steal(PyImport_ImportModule(name));
  if (!module) {
    if (!ombrix::clear_expected(PyExc_ImportError)) *failed = true;
    return Ref();
  }
  if (!PyModule_Check(module.get())) return Ref();
  return Ref::borrow(PyModule_GetDict(module.get()));
}

// ns[name] (owned), empty when absent or when `ns` is. A lookup that raised
// an Exception (a key's __eq__) counts as absent: the library then does not
// count as laid out as expected. Anything else stays pending.
Ref entry(PyObject* ns, const char* name) {
  if (!ns || PyErr_Occurred()) return Ref();
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  Ref value;
  if (!key || !ombrix::dict_lookup(ns, key.get(), &value)) {
    ombrix::clear_expected();
    return Ref();
  }
  return value;
}

// A function of the library that one of its decorators wrapped: the
// decorator's own wrapper (defined in `decorators`, named as the function,
// its code one of the decorators' wrappers) around the function `qualname`
// that `inner` defines.
bool decorated_function(PyObject* f, PyObject* decorators, PyObject* inner, const char* qualname) {
  if (!f || !decorators || !inner || Py_TYPE(f) != &PyFunction_Type ||
      PyFunction_GET_GLOBALS(f) != decorators) {
    return false;
  }
  auto* fn = reinterpret_cast<PyFunctionObject*>(f);
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
  PyObject* closure = PyFunction_GET_CLOSURE(f);
  if (!fn->func_qualname || !PyUnicode_CheckExact(fn->func_qualname) ||
      PyUnicode_CompareWithASCIIString(fn->func_qualname, qualname) != 0 || !closure ||
      !PyTuple_CheckExact(closure)) {
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(code->co_name, "wrapped") != 0 &&
      PyUnicode_CompareWithASCIIString(code->co_name, "wrapper") != 0) {
    return false;
  }
  Ref freevars = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(code), "co_freevars"));
  if (!freevars || !PyTuple_CheckExact(freevars.get()) ||
      PyTuple_GET_SIZE(freevars.get()) != PyTuple_GET_SIZE(closure)) {
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
    PyObject* name = PyTuple_GET_ITEM(freevars.get(), i);
    PyObject* cell = PyTuple_GET_ITEM(closure, i);
    if (PyUnicode_CheckExact(name) && PyUnicode_CompareWithASCIIString(name, "func") == 0) {
      return PyCell_Check(cell) &&
             ombrix::library_function(PyCell_GET(cell), inner, qualname);
    }
  }
  return false;
}

// A function of an extension module (or of the interpreter), not a Python
// function put in its place.
bool c_function(PyObject* f) { return f && PyCFunction_Check(f); }

// A function numpy's module `numerictypes` defines.
bool numpy_function(PyObject* f, const char* qualname) {
  if (!f || Py_TYPE(f) != &PyFunction_Type) return false;
  PyObject* globals = PyFunction_GET_GLOBALS(f);
  for (const char* name : {"numpy.core.numerictypes", "numpy._core.numerictypes"}) {
    Ref module_name = entry(globals, "__name__");
    if (!module_name || !PyUnicode_CheckExact(module_name.get()) ||
        PyUnicode_CompareWithASCIIString(module_name.get(), name) != 0) {
      continue;
    }
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!module) return false;
    return PyModule_Check(module.get()) && PyModule_GetDict(module.get()) == globals &&
           ombrix::library_function(f, globals, qualname);
  }
  return false;
}

// Adds (ns, name, value) to `bindings` when `standard` says `value` is the
// library's own; false (nothing added) otherwise. An empty `value` with
// `standard` true adds (ns, name): the name must stay unbound in `ns`.
bool bind(PyObject* bindings, PyObject* ns, const char* name, const Ref& value, bool standard) {
  if (!ns || !standard) return false;
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  Ref item = !key ? Ref()
             : value ? Ref::steal(PyTuple_Pack(3, ns, key.get(), value.get()))
                     : Ref::steal(PyTuple_Pack(2, ns, key.get()));
  return item && PyList_Append(bindings, item.get()) == 0;
}

// The bindings of the library as found now, when they are all its own;
// empty otherwise (with an exception set when memory ran out).
Ref library_bindings(State& st, PyObject* point, bool* failed) {
  Ref bindings = Ref::steal(PyList_New(0));
  if (!bindings) {
    *failed = true;
    return Ref();
  }
  PyObject* const b = bindings.get();
  Ref shapely_ns = namespace_of("shapely", failed);
  Ref lib_ns = namespace_of("shapely.lib", failed);
  Ref base_ns = namespace_of("shapely.geometry.base", failed);
  Ref point_ns = namespace_of("shapely.geometry.point", failed);
  Ref decorators_ns = namespace_of("shapely.decorators", failed);
  Ref predicates_ns = namespace_of("shapely.predicates", failed);
  Ref creation_ns = namespace_of("shapely.creation", failed);
  Ref numpy_ns = namespace_of("numpy", failed);
  if (*failed) return Ref();
  PyObject* builtins_ns = st.builtins_dict.get();
  // The modules themselves, as their importers bind them.
  Ref shapely = Ref::steal(PyImport_ImportModule("shapely"));
  Ref lib = shapely ? Ref::steal(PyImport_ImportModule("shapely.lib")) : Ref();
  Ref numpy = lib ? Ref::steal(PyImport_ImportModule("numpy")) : Ref();
  if (!numpy) {
    if (!ombrix::clear_expected(PyExc_ImportError)) *failed = true;
    return Ref();
  }
  // Point(x, y): Point.__new__ of the library, object's __init__, and what
  // __new__ reads: np.array, np.issubdtype, np.number, shapely.points, the
  // class Point itself, and the builtins len, isinstance, hasattr, list and
  // float (unshadowed).
  auto* point_type = reinterpret_cast<PyTypeObject*>(point);
  Ref object_init = ombrix::type_lookup(&PyBaseObject_Type, st.init);
  // __new__ is kept in the class as a staticmethod around the function.
  Ref point_new = st.point_new ? Ref::steal(PyObject_GetAttrString(st.point_new.get(), "__func__"))
                               : Ref();
  if (!point_new && PyErr_Occurred() && !ombrix::clear_expected(PyExc_AttributeError)) {
    *failed = true;
    return Ref();
  }
  if (!st.point_new || Py_TYPE(st.point_new.get()) != &PyStaticMethod_Type ||
      !ombrix::library_function(point_new.get(), point_ns.get(), "Point.__new__") ||
      st.point_init.get() != object_init.get() || Py_TYPE(point) != &PyType_Type ||
      !PyType_HasFeature(point_type, Py_TPFLAGS_HEAPTYPE)) {
    return Ref();
  }
  bool ok = bind(b, point_ns.get(), "np", numpy, true) &&
            bind(b, point_ns.get(), "shapely", shapely, true) &&
            bind(b, point_ns.get(), "Point", Ref::borrow(point), true);
  for (const char* name : {"len", "isinstance", "hasattr", "list", "float"}) {
    Ref builtin = entry(builtins_ns, name);
    ok = ok && bind(b, point_ns.get(), name, Ref(), !entry(point_ns.get(), name)) &&
         bind(b, builtins_ns, name, builtin,
              c_function(builtin.get()) || ombrix::static_type(builtin.get()));
  }
  Ref array = entry(numpy_ns.get(), "array"), asarray = entry(numpy_ns.get(), "asarray");
  Ref issubdtype = entry(numpy_ns.get(), "issubdtype"), number = entry(numpy_ns.get(), "number");
  Ref points = entry(shapely_ns.get(), "points");
  ok = ok && bind(b, numpy_ns.get(), "array", array, c_function(array.get())) &&
       bind(b, numpy_ns.get(), "asarray", asarray, c_function(asarray.get())) &&
       bind(b, numpy_ns.get(), "issubdtype", issubdtype,
            numpy_function(issubdtype.get(), "issubdtype")) &&
       bind(b, numpy_ns.get(), "number", number, ombrix::static_type(number.get())) &&
       bind(b, shapely_ns.get(), "points", points,
            ombrix::library_function(points.get(), creation_ns.get(), "points") ||
                decorated_function(points.get(), decorators_ns.get(), creation_ns.get(),
                                   "points"));
  // geometry.contains(point): BaseGeometry.contains of the library, and what
  // it reads. Two layouts: a scalar fast way (shapely.lib's
  // is_valid_input_scalar and contains_scalar), or the array function
  // shapely.contains (around shapely.lib's ufunc) and _maybe_unpack.
  ok = ok && ombrix::library_function(st.library_contains.get(), base_ns.get(),
                                      "BaseGeometry.contains") &&
       bind(b, base_ns.get(), "shapely", shapely, true);
  if (!ok) return PyErr_Occurred() ? (*failed = true, Ref()) : Ref();
  const Py_ssize_t common = PyList_GET_SIZE(b);
  Ref valid = entry(lib_ns.get(), "is_valid_input_scalar");
  Ref scalar = entry(lib_ns.get(), "contains_scalar");
  if (bind(b, shapely_ns.get(), "lib", lib, true) &&
      bind(b, lib_ns.get(), "is_valid_input_scalar", valid, c_function(valid.get())) &&
      bind(b, lib_ns.get(), "contains_scalar", scalar, c_function(scalar.get()))) {
    return bindings;
  }
  if (PyErr_Occurred() || PyList_SetSlice(b, common, PyList_GET_SIZE(b), nullptr) < 0) {
    *failed = true;
    return Ref();
  }
  Ref unpack = entry(base_ns.get(), "_maybe_unpack");
  Ref contains = entry(shapely_ns.get(), "contains");
  Ref ufunc_type = entry(numpy_ns.get(), "ufunc");
  Ref ufunc = entry(lib_ns.get(), "contains");
  if (bind(b, base_ns.get(), "_maybe_unpack", unpack,
           ombrix::library_function(unpack.get(), base_ns.get(), "_maybe_unpack")) &&
      bind(b, shapely_ns.get(), "contains", contains,
           decorated_function(contains.get(), decorators_ns.get(), predicates_ns.get(),
                              "contains")) &&
      bind(b, predicates_ns.get(), "lib", lib, true) &&
      bind(b, lib_ns.get(), "contains", ufunc,
           ufunc && ufunc_type && ombrix::static_type(ufunc_type.get()) &&
               reinterpret_cast<PyObject*>(Py_TYPE(ufunc.get())) == ufunc_type.get())) {
    return bindings;
  }
  if (PyErr_Occurred()) *failed = true;
  return Ref();
}

}  // namespace

bool capture_geometry_library(State& st, PyObject* polygon, PyObject* multipolygon,
                              PyObject* point) {
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
  if (!(st.get_coordinates.set(take("get_coordinates")) &&
        st.get_exterior_ring.set(take("get_exterior_ring")) &&
        st.get_num_interior_rings.set(take("get_num_interior_rings")) &&
        st.get_interior_ring.set(take("get_interior_ring")) &&
        st.get_parts.set(take("get_parts")))) {
    return false;
  }
  bool failed = false;
  st.library_standard = false;
  Ref bindings = library_bindings(st, point, &failed);
  if (failed) return false;
  if (!bindings) return true;
  Ref namespaces = Ref::steal(PyList_New(0));
  if (!namespaces) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bindings.get()); ++i) {
    PyObject* ns = PyTuple_GET_ITEM(PyList_GET_ITEM(bindings.get(), i), 0);
    bool known = false;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(namespaces.get()); ++j) {
      known = known || PyList_GET_ITEM(namespaces.get(), j) == ns;
    }
    if (!known && PyList_Append(namespaces.get(), ns) < 0) return false;
  }
  if (static_cast<std::size_t>(PyList_GET_SIZE(namespaces.get())) > State::kLibraryNamespaces) {
    return true;  // laid out otherwise: no native test
  }
  Ref frozen = Ref::steal(PyList_AsTuple(bindings.get()));
  Ref distinct = frozen ? Ref::steal(PyList_AsTuple(namespaces.get())) : Ref();
  if (!distinct) return false;
  st.library_bindings.set(frozen);
  st.library_namespaces.set(distinct);
  st.library_standard = true;
  return true;
}

bool library_intact(State& st) {
  if (!st.library_standard) return false;
  // The tuples and their entries are the module's own: nothing else changes
  // them.
  PyObject* namespaces = st.library_namespaces.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(namespaces); ++i) {
    if (!lookups_run_no_code(st.library_keys[i], PyTuple_GET_ITEM(namespaces, i))) return false;
  }
  PyObject* bindings = st.library_bindings.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bindings); ++i) {
    PyObject* binding = PyTuple_GET_ITEM(bindings, i);
    PyObject* ns = PyTuple_GET_ITEM(binding, 0);
    // A str looked up in a dict of str keys: runs no code, cannot fail.
    Ref value;
    if (!ombrix::dict_lookup(ns, PyTuple_GET_ITEM(binding, 1), &value)) {
      ombrix::clear_expected(PyExc_MemoryError);
      return false;
    }
    PyObject* expected = PyTuple_GET_SIZE(binding) == 3 ? PyTuple_GET_ITEM(binding, 2) : nullptr;
    if (value.get() != expected) return false;
  }
  return true;
}

void forget_native_form(State& st, PyObject* self) {
  auto& table = st.prepared.entries;
  auto it = table.find(self);
  if (it != table.end()) drop(table, it);
}

std::shared_ptr<const Prepared> prepared_for(State& st, PyObject* self, PyObject* included,
                                             PyObject* intersections, std::vector<Ref>* records,
                                             bool* ran_code, bool* failed) {
  auto& table = st.prepared.entries;
  auto it = table.find(self);
  if (it != table.end()) {
    std::shared_ptr<const Prepared> entry = it->second;
    if (referent(entry->watcher.get()) == self &&
        entry->matches(st, included, intersections, records)) {
      return entry;
    }
  }
  std::shared_ptr<const Prepared> entry =
      build(st, self, included, intersections, ran_code, failed);
  if (*failed) {
    records->clear();
    return nullptr;
  }
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
