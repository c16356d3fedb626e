// What the region filter keeps per interpreter: its interned names, the
// objects taken at import that its shortcuts compare against, its verdicts
// about classes and its caches. One State per module object, so every
// interpreter that imports the module has its own (see ombrix/state.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "ombrix/dicts.hpp"
#include "ombrix/module.hpp"
#include "ombrix/types.hpp"

namespace zone_warden {

struct State;
struct Prepared;

// Each shortcut of the filter can be left out of a build
// (-DOMBRIX_WITHOUT=<bits>): the filter then takes the general way at the
// point where it would have taken the shortcut, and gives the same results.
// scripts/shortcut-gains measures what each gains; the design notes keep the
// figures under the same numbers.
enum Shortcut : unsigned {
  kNativeMatch = 1u << 9,      // 1: anchor points located in the native form
  kKeptForm = 1u << 10,        // 2: the native form kept from call to call
  kNativeAnchor = 1u << 11,    // 3: anchor arithmetic on doubles
  kItemDict = 1u << 12,        // 4: info and tlwh read from the item's dict
  kInfoGet = 1u << 13,         // 5: info.get("rect", tlwh) on an exact dict
  kExactUnpack = 1u << 14,     // 6: exact tuples and lists unpacked directly
  kDirectCopy = 1u << 15,      // 7: plain items copied without copy.copy
  kCopyAndTag = 1u << 16,      // 8: a detection copied and tagged in one go
  kNativeTags = 1u << 17,      // 9: tags computed and stored natively
  kEpochConstants = 1u << 18,  // 10: constants and record tags kept per epoch
};
constexpr bool with(Shortcut s) { return (OMBRIX_WITHOUT & s) == 0; }

// A few TypeVerdicts for the same question, so that items of two or three
// classes mixed in one frame do not keep recomputing the answer.
class Verdicts {
 public:
  explicit Verdicts(ombrix::TypeVerdict<State>::Compute compute)
      : slots_(kSlots, ombrix::TypeVerdict<State>(compute)) {}
  bool check(State& st, PyTypeObject* type) {
    return slots_[(reinterpret_cast<std::uintptr_t>(type) >> 5) & (kSlots - 1)].check(st, type);
  }

 private:
  static constexpr std::size_t kSlots = 8;
  std::vector<ombrix::TypeVerdict<State>> slots_;
};

// The native form of each instance's region set, by instance (prepared.hpp).
// Owns the entries, and through them the geometries they were read from.
class PreparedTable : public ombrix::StateMember {
 public:
  explicit PreparedTable(ombrix::ModuleState* owner) : StateMember(owner) {}
  using Map = std::unordered_map<PyObject*, std::shared_ptr<const Prepared>>;
  Map entries;
  int traverse(visitproc visit, void* arg) override;
  void clear() override;
};

// What a namespace memo remembers: only that the dict's keys were all exact
// str when it was read, and that it has not changed since.
struct NoFacts {
  void mirror(std::size_t, PyObject*) {}
  int traverse(visitproc, void*) { return 0; }
};

// Dicts found to have exact str keys only, by version tag: where the memos
// keep nothing (on 3.13.0, whose attribute stores tell no watcher, or when
// every watcher slot is taken), a namespace or a record is still read only
// once while it stays unchanged. Every change of a dict gives it a new tag,
// from a counter that never repeats, and a new dict a tag of its own. (On
// 3.13.0 an attribute store beside an instance's dict leaves its tag as it
// is, but such a store has an exact str name: the answer stays true.) The
// stamps are kept on 3.12 and 3.13; before, the memos compare tags
// themselves, and from 3.14 on, where a memo keeps nothing, the keys are read
// each time.
template <std::size_t N>
class PlainKeyStamps {
 public:
  bool holds(PyObject* d) const {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
    const Entry& e = entries_[slot(d)];
    return e.dict == d && e.tag == tag_of(d);
#else
    (void)d;
    return false;
#endif
  }
  void keep(PyObject* d) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
    entries_[slot(d)] = Entry{d, tag_of(d)};
#else
    (void)d;
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
  struct Entry {
    PyObject* dict = nullptr;  // identity only
    std::uint64_t tag = 0;
  };
  static std::size_t slot(PyObject* d) { return (reinterpret_cast<std::uintptr_t>(d) >> 4) % N; }
  static std::uint64_t tag_of(PyObject* d) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
  }
  Entry entries_[N];
#endif
};

// Dicts whose keys were found to be all exact str, remembered while they stay
// unchanged: by the memo where it works, else by version tag.
template <std::size_t N>
struct PlainKeys {
  PlainKeys(ombrix::ModuleState* owner, ombrix::DictWatch* watch) : memo(owner, watch) {}
  ombrix::DictMemo<NoFacts, N> memo;
  PlainKeyStamps<N> stamps;
};

// Verdict computations (they run no Python code: see mro_keys_are_plain).
bool hooks_are_own(const State& st, PyTypeObject* type);
bool point_is_as_imported(const State& st, PyTypeObject* type);
bool item_type_is_plain(const State& st, PyTypeObject* type);
bool copy_type_is_plain(const State& st, PyTypeObject* type);
bool stores_are_plain(const State& st, PyTypeObject* type);
bool geometry_type_is_plain(const State& st, PyTypeObject* type);
bool constants_are_plain(const State& st, PyTypeObject* type);

struct State : ombrix::ModuleState {
  using Name = ombrix::Name;
  using Held = ombrix::Held;

  // Names read from namespaces, records, instances and items.
  Name copy{this, "copy"}, deepcopy{this, "deepcopy"}, np{this, "np"}, array{this, "array"},
      float32{this, "float32"}, polygon_name{this, "Polygon"}, point_name{this, "Point"},
      key_class{this, "KEY"}, roi_id_const{this, "ROI_ID"}, roi_name_const{this, "ROI_NAME"},
      exception_traceback{this, "exception_traceback"}, logger{this, "logger"},
      roi_data{this, "RoiData"}, points_key{this, "POINTS_KEY"}, include_key{this, "INCLUDE_KEY"},
      roi_id_key{this, "ROI_ID_KEY"}, roi_label_key{this, "ROI_LABEL_KEY"},
      shapely_polygon{this, "shapely_polygon"}, polygons{this, "polygons"}, rois{this, "rois"},
      frame_sz{this, "frame_sz"}, included_rois{this, "_included_rois"},
      empty_polygon{this, "_empty_polygon"},
      exclusion_intersections{this, "_exclusion_intersections"},
      intersection{this, "intersection"}, is_empty{this, "is_empty"}, contains{this, "contains"},
      append{this, "append"}, get{this, "get"}, info{this, "info"}, tlwh{this, "tlwh"},
      rect{this, "rect"}, roi_id{this, "roi_id"}, roi_name{this, "roi_name"},
      is_point_in_polygon{this, "_is_point_in_polygon"},
      is_point_excluded{this, "_is_point_excluded_for_polygon"},
      assign_roi_info{this, "_assign_roi_info"}, float_name{this, "float"}, len{this, "len"},
      id{this, "id"}, empty_text{this, ""}, zone_warden{this, "ZoneWarden"}, new_{this, "__new__"},
      init{this, "__init__"}, is_valid{this, "is_valid"}, tolist{this, "tolist"};
  // The copy machinery's parts (plain.cpp).
  Name copy_dispatch{this, "_copy_dispatch"}, dispatch_table{this, "dispatch_table"},
      atomic_types{this, "_copy_atomic_types"},
      builtin_containers{this, "_copy_builtin_containers"}, reconstruct{this, "_reconstruct"},
      newobj{this, "__newobj__"}, reduce_ex{this, "__reduce_ex__"}, reduce{this, "__reduce__"},
      class_{this, "__class__"}, getstate{this, "__getstate__"}, setstate{this, "__setstate__"},
      copy_hook{this, "__copy__"}, getnewargs_ex{this, "__getnewargs_ex__"},
      getnewargs{this, "__getnewargs__"}, slots{this, "__slots__"}, dict{this, "__dict__"},
      weakref{this, "__weakref__"}, slotnames{this, "__slotnames__"},
      forget_instance{this, "forget_instance"};

  // Taken at import: what the shortcuts compare against, and constants.
  Held point{this};                         // shapely.geometry.Point
  Held point_new{this}, point_init{this};   // its __new__ and __init__ as found then
  Held builtin_id{this};                    // builtins.id
  Held builtins_dict{this};                 // the builtins' namespace, as functions see it
  Held float64{this};                       // numpy.float64
  Held in_polygon{this}, excluded{this}, assign{this};  // ZoneWarden's hooks, as defined
  Held one{this}, index0{this}, index1{this};           // 1.0, 0, 1
  Held dtype_kw{this};                                  // ("dtype",)
  Held filter_code{this};  // an empty code object naming filter_in_roi in tracebacks

  // What copy.copy relies on, as found at import (plain.cpp). Up to 3.13
  // copy.copy first looks the class up in the dict `_copy_dispatch`; from
  // 3.14 on it checks the sets `_copy_atomic_types` and
  // `_copy_builtin_containers` instead.
  bool copy_ready = false;        // laid out as expected: direct copies allowed
  Held copy_module{this};         // the copy module
  Held copy_function{this};       // copy.copy
  Held copy_dispatch_dict{this};  // copy._copy_dispatch (up to 3.13)
  Held copy_atomic{this}, copy_containers{this};  // the two sets (3.14 on)
  Held copy_dispatch_table{this};  // copy.dispatch_table (copyreg's)
  Held copy_reconstruct{this};     // copy._reconstruct
  Held copyreg{this};              // the copyreg module
  Held copyreg_newobj{this};       // copyreg.__newobj__
  Held empty_args{this};           // ()

  // The geometry library's own parts (prepared.cpp).
  Held geometry_base{this};  // shapely.Geometry, the base class of all geometries
  Held polygon_type{this}, multipolygon_type{this};
  Held library_contains{this};  // the geometries' `contains` method
  // Whether `Point` and `contains`, as found at import, are the functions
  // the library defines (by origin, not by what stood there at import), and
  // what they reach at call time: a tuple of (namespace, name, value) and
  // (namespace, name) entries, the latter for names that must stay unbound
  // there (so that the builtin of that name is used). See library_intact.
  bool library_standard = false;
  Held library_bindings{this};
  // The distinct namespaces of library_bindings, at most kLibraryNamespaces.
  static constexpr std::size_t kLibraryNamespaces = 8;
  Held library_namespaces{this};
  Held get_coordinates{this}, get_exterior_ring{this}, get_num_interior_rings{this},
      get_interior_ring{this}, get_parts{this};

  // Verdicts about classes.
  ombrix::TypeVerdict<State> own_hooks{hooks_are_own};
  ombrix::TypeVerdict<State> plain_points{point_is_as_imported};
  Verdicts plain_items{item_type_is_plain};
  Verdicts plain_copies{copy_type_is_plain};
  Verdicts plain_stores{stores_are_plain};
  Verdicts plain_geometries{geometry_type_is_plain};
  Verdicts plain_constants{constants_are_plain};  // RoiData, KEY

  // Namespaces whose lookups were found to run no code (all keys exact
  // str), remembered while they stay unchanged: the module namespace, the
  // builtins, and the copy and copyreg modules' namespaces.
  ombrix::DictWatch dict_watch{this};
  PlainKeys<1> globals_keys{this, &dict_watch}, builtins_keys{this, &dict_watch},
      copy_keys{this, &dict_watch}, copyreg_keys{this, &dict_watch};
  // The same for the region records of the instances filtered lately.
  PlainKeys<16> record_keys{this, &dict_watch};
  // The same for the namespaces of library_bindings, one memo each (a memo
  // of several entries would have two of them take turns in one entry, and
  // numpy's namespace read again on every call).
  PlainKeys<1> library_keys[kLibraryNamespaces] = {
      {this, &dict_watch}, {this, &dict_watch}, {this, &dict_watch}, {this, &dict_watch},
      {this, &dict_watch}, {this, &dict_watch}, {this, &dict_watch}, {this, &dict_watch}};

  PreparedTable prepared{this};

  // The instance attributes the shortcut stands for, read together
  // (_is_point_in_polygon, _is_point_excluded_for_polygon, _assign_roi_info,
  // _exclusion_intersections).
  ombrix::NameTable<4> instance_names;
  // An instance dict that is a split table has exact str keys only (probed
  // when the module is set up).
  bool split_tables_plain = false;
};

// True when every key of the dict `d` is an exact str: looking a str up in it
// runs no Python code. Runs none itself. With `split_tables_plain` (the
// state's probe found it so), a split table is known to have them without
// reading its keys.
bool str_keys_only(PyObject* d, bool split_tables_plain);
// Whether this interpreter keeps split tables to exact str keys (it makes a
// split table a combined one before storing any other key). False, possibly
// with an exception set (then the module fails to load), when it cannot tell.
bool split_tables_hold_str_keys();

// True when looking a name up in `d`, an exact dict, is known to run no
// Python code: its keys are all exact str, as remembered by `memo` or found
// now. Runs none itself.
template <std::size_t N>
bool lookups_run_no_code(PlainKeys<N>& keys, PyObject* d) {
  if (!d || !PyDict_CheckExact(d)) return false;
  // start() reads the keys itself, and remembers the dict only when they are
  // all exact str; where nothing can be remembered, the version tag tells
  // (up to 3.13), else the keys are read each time.
  if (keys.memo.find(d) || keys.stamps.holds(d) || keys.memo.start(d)) return true;
  if (!str_keys_only(d, false)) return false;
  keys.stamps.keep(d);
  return true;
}

// True when looking a name up along the MRO of `type` runs no Python code:
// every class dict in it has exact str keys only (the dicts of static types
// can only be changed from C). Verdicts start with it, so that computing one
// runs no code. Runs none itself.
bool mro_keys_are_plain(PyTypeObject* type);

}  // namespace zone_warden
