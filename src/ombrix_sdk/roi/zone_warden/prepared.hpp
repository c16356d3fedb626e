// The native form of a ZoneWarden's region set, kept beside the instance.
//
// An instance's attributes are its interface, so nothing native is stored on
// it. Instead the module state's table (PreparedTable) maps the instance to
// the coordinates of the geometries its `_included_rois` records and
// `_exclusion_intersections` lists held when the table entry was built,
// together with strong references to those very geometry objects. Before the
// entry is used, `matches` checks that the instance still holds exactly those
// objects, and that the lookups the filter would make in them run no Python
// code; a weak reference to the instance removes the entry when the instance
// goes away.
#pragma once

#include <memory>
#include <vector>

#include "geometry.hpp"
#include "ombrix/ref.hpp"
#include "state.hpp"

namespace zone_warden {

// A geometry of the region set. When `native`, `area` holds its coordinates
// and points are located natively; otherwise (not a valid polygon or
// multipolygon) the geometry library is asked.
struct Shape {
  ombrix::Ref geometry;
  bool native = false;
  Area area;
};

struct Region {
  // Compared by identity only. Should the record go and another dict take
  // its address and its place in `_included_rois`, holding the same
  // geometry, it is the same region to the filter: same polygon, and the
  // same overlaps under id(record).
  PyObject* record;
  ombrix::Ref id_key;           // id(record)
  Shape polygon;                // record["shapely_polygon"]
  std::vector<Shape> overlaps;  // _exclusion_intersections[id(record)]
};

struct Prepared {
  ombrix::Ref watcher;  // weak reference to the instance
  std::vector<Region> regions;
  std::vector<ombrix::Ref> geometry_types;  // the distinct types of the shapes

  // True when `included` (the instance's `_included_rois`) and
  // `intersections` (its `_exclusion_intersections`) hold exactly the
  // records and geometries this entry was built from, the records' keys are
  // all exact str and the overlap table's all exact int (so that the lookups
  // the filter makes in them run no code), and the geometry classes still
  // have the library's own `contains`. Fills `records` with the records, in
  // order. Runs no Python code and never raises.
  bool matches(State& st, PyObject* included, PyObject* intersections,
               std::vector<ombrix::Ref>* records) const;

  int traverse(visitproc visit, void* arg) const;
};

// Takes what is needed from the geometry library at import: `polygon` and
// `multipolygon` are its Polygon and MultiPolygon classes, `point` its Point.
// A library laid out otherwise leaves the native test off (library_standard
// false); false with an exception set only when the import must fail.
bool capture_geometry_library(State& st, PyObject* polygon, PyObject* multipolygon,
                              PyObject* point);

// True when making a Point and the geometries' `contains` still run the
// library's own code with the collaborators it was written against, so that
// the native test gives what they give and skipping them has no effect: the
// namespaces they read have exact str keys only, and every binding taken at
// import (see capture_geometry_library) is still in place. Runs no Python
// code.
bool library_intact(State& st);

// The entry of `self` matching its current state, built (or rebuilt) when
// there is none; nullptr when the state has a shape the native test does not
// handle. Fills `records` like Prepared::matches. Building calls into the
// geometry library, which runs Python code: *ran_code is set then. When the
// library raised (a failed allocation, or what a signal handler raised while
// it ran), nullptr with the exception set and *failed set: the caller fails
// with it, as the plain steps would have at some call of theirs.
std::shared_ptr<const Prepared> prepared_for(State& st, PyObject* self, PyObject* included,
                                             PyObject* intersections,
                                             std::vector<ombrix::Ref>* records, bool* ran_code,
                                             bool* failed);

// Lets go of the entry of `self`, if it has one (for builds that leave out
// the keeping of the native form between calls). May run code, as releasing
// geometries may: called before a call reads anything.
void forget_native_form(State& st, PyObject* self);

}  // namespace zone_warden
