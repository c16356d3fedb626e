"""The region filter against a hostile caller: Python code that runs in the
middle of a call (the __eq__ of a dict key whose hash equals a name the
filter reads) changes what the filter holds. Each scenario runs in a fresh
interpreter with PYTHONMALLOC=debug, once on the native filter and once on
the plain-Python algorithm, and the two outputs must be the same."""

import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SETUPS = {
    "native": "import ombrix_sdk.roi.zone_warden as M\nW = M.ZoneWarden\n",
    "reference": "import benchmarks.reference_zone_warden as M\nW = M.PyZoneWarden\n",
}

PRELUDE = """
import copy
armed = []
# A key equal to nothing, with the hash of `name`. Compared while `armed`, it
# calls `act` until that returns something true; every comparison is counted.
class Collide:
    def __init__(self, name, act):
        self.h, self.act, self.seen = hash(name), act, 0
    def __hash__(self):
        return self.h
    def __eq__(self, other):
        self.seen += 1
        if armed:
            act, self.act = self.act, lambda: None   # no recursion through act
            if not act():
                self.act = act
        return False
# Puts a colliding key for `name` into `d`, ahead of `name` itself in the
# lookup's probe order, so that every lookup of `name` compares it.
def plant(d, name, act):
    key = Collide(name, act)
    if name in d:
        value = d.pop(name)
        d[key] = None
        d[name] = value
    else:
        d[key] = None
    return key
class Det:
    def __init__(self, t):
        self.tlwh = t
copy.copy(Det(None))      # copyreg caches the class's slot names
SQUARE = [[.2, .2], [.8, .2], [.8, .8], [.2, .8]]
INNER = [[.4, .4], [.6, .4], [.6, .6], [.4, .6]]
def show(result):
    print([(vars(o).get("roi_id"), vars(o).get("roi_name")) for o in result])
"""

# Each scenario builds `w` (from W), arms its colliding key and filters; `M`
# is the module whose namespace the filter reads. What it prints is compared.
SCENARIOS = {
    # A record key colliding with "label" pops "roi_id" while the tags are
    # read: the id read before must stay valid, and the next item sees none.
    "record-label-drops-roi-id": """
        rec = {"include": True, "points": SQUARE, "roi_id": "x", "label": "L"}
        plant(rec, "label", lambda: rec.pop("roi_id"))
        w = W([rec])
        rec["roi_id"] = "".join(["zone", "-1"])
        armed.append(1)
        show(w.filter_in_roi([Det([.5, .5, .1, .1]), Det([.5, .5, .1, .1])]))
    """,
    # A namespace key colliding with "Point" replaces the instance's overlap
    # table (the old one is freed) and makes a new dict, which may take the
    # freed one's place, with an overlap covering the whole square.
    "namespace-point-replaces-overlaps": """
        from shapely.geometry import Polygon
        rec = {"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}
        w = W([rec])
        everything = [Polygon([[0, 0], [1, 0], [1, 1], [0, 1]])]
        keep = []
        def swap():
            w._exclusion_intersections = {}
            hostile = {}
            hostile[id(rec)] = everything
            keep.append(hostile)
            return True
        key = plant(vars(M), "Point", swap)
        armed.append(1)
        show(w.filter_in_roi([Det([.5, .5, .1, .1]), Det([.3, .3, .1, .1])]))
        print(key.seen)
    """,
    # An instance key colliding with a hook's name sets the hook on the
    # instance: from then on it decides.
    "instance-key-sets-a-hook": """
        rec = {"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}
        w = W([rec])
        def override():
            w._is_point_in_polygon = lambda point, polygon: point.x < 0.4
            return True
        plant(vars(w), "_is_point_in_polygon", override)
        armed.append(1)
        show(w.filter_in_roi([Det([.5, .5, .1, .1]), Det([.3, .3, .1, .1])]))
    """,
    # A record key colliding with "shapely_polygon" renames the region.
    "record-polygon-key-renames": """
        rec = {"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}
        w = W([rec])
        key = plant(rec, "shapely_polygon", lambda: rec.update(label="renamed") or True)
        armed.append(1)
        show(w.filter_in_roi([Det([.5, .5, .1, .1]), Det([.3, .3, .1, .1])]))
        print(key.seen)
    """,
    # An overlap-table key with the hash of id(record) empties the overlaps.
    "overlap-key-clears-the-table": """
        outer = {"include": True, "points": SQUARE, "roi_id": "o", "label": "O"}
        inner = {"include": False, "points": INNER}
        w = W([outer, inner])
        table = w._exclusion_intersections
        plant(table, id(outer), lambda: table[id(outer)].clear() or True)
        armed.append(1)
        show(w.filter_in_roi([Det([.45, .45, .1, .1]), Det([.45, .45, .1, .1])]))
    """,
    # An item key colliding with "tlwh" moves the next item's box out.
    "item-key-moves-the-next-box": """
        rec = {"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}
        w = W([rec])
        first, second = Det([.5, .5, .1, .1]), Det([.5, .5, .1, .1])
        plant(vars(first), "tlwh", lambda: setattr(second, "tlwh", [0, 0, .1, .1]) or True)
        armed.append(1)
        show(w.filter_in_roi([first, second]))
    """,
    # An item key colliding with "tlwh" whose comparison raises: the error
    # the filter records is the one attribute access gives (which, before
    # 3.8, drops the comparison's error: the box is then missing).
    "item-key-raises": """
        rec = {"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}
        w = W([rec])
        M.exception_traceback = lambda logger, e: setattr(w, "failure", e)  # as the reference
        class Raising:
            def __hash__(self):
                return hash("tlwh")
            def __eq__(self, other):
                if armed:
                    raise LookupError("compared")
                return False
        first = Det([.5, .5, .1, .1])
        box = vars(first).pop("tlwh")
        vars(first)[Raising()] = None
        first.tlwh = box
        armed.append(1)
        show(w.filter_in_roi([first, Det([.3, .3, .1, .1])]))
        print(type(w.failure).__name__)
    """,
    # A builtins key colliding with "id" (looked up for every exclusion
    # check) empties the overlap table.
    "builtins-id-drops-the-overlaps": """
        import builtins
        outer = {"include": True, "points": SQUARE, "roi_id": "o", "label": "O"}
        inner = {"include": False, "points": INNER}
        w = W([outer, inner])
        key = plant(vars(builtins), "id", lambda: w._exclusion_intersections.clear() or True)
        armed.append(1)
        show(w.filter_in_roi([Det([.45, .45, .1, .1]), Det([.45, .45, .1, .1])]))
        print(key.seen)
    """,
}


def run_fresh(code):
    # One hash seed for both sides: it decides the dicts' probe order, and so
    # how often a colliding key is compared.
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1", PYTHONHASHSEED="1")
    proc = subprocess.run([sys.executable, "-c", code], env=env, cwd=ROOT,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, "exit %d\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr)
    return proc.stdout


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_code_run_by_a_colliding_key_is_seen_as_the_python_algorithm_sees_it(name):
    body = textwrap.dedent(SCENARIOS[name])
    native, reference = [run_fresh(SETUPS[side] + PRELUDE + body)
                         for side in ("native", "reference")]
    assert native == reference


# --- finalizers run by the collector, and the releases that run them ------------

# Before 3.12 the collector runs inside allocations, so a finalizer of cyclic
# garbage may run at any allocation the filter makes. Each scenario sweeps
# the collection point over the first allocations of a call (gen-0
# thresholds) with a finalizer that changes what the filter works on, and
# prints what holds whatever the timing: every matched item comes back as
# one copy tagged ["r"], and nothing is recorded as a failure.
COLLECTOR_PRELUDE = """
import copy, gc
class Track(Det):
    def __init__(self, t):
        self.tlwh = t
        self.info = {"rect": t}
class Other:
    pass
copy.copy(Other()); copy.copy(Track(None))
failures = []
M.exception_traceback = lambda logger, e: failures.append(type(e).__name__)
w = W([{"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}])
bad = []
gc.collect()
gc.freeze()                                # what is there stays out of the sweep's collections
for kind in (Det, Track):
    w.filter_in_roi([kind([.5, .5, .1, .1])])
    for threshold in range(1, 40):
        item = kind([.5, .5, .1, .1])
        vars(item) if PRIOR_DICT else None
        class Finalizer:
            def __del__(self):
                ACT(item)
        hold = [[] for _ in range(120)]    # list allocations reach the collector
        gc.collect()
        f = Finalizer(); f.me = f; del f
        del failures[:]
        gc.set_threshold(threshold)
        try:
            out = w.filter_in_roi([item])
        finally:
            gc.set_threshold(700, 10, 10)
        gc.collect()
        tags = [getattr(o, "roi_id", None) or o.info.get("roi_id") for o in out]
        if tags != [["r"]] or failures:
            bad.append((kind.__name__, threshold, tags, failures[:1]))
        del hold
print("bad", bad[:3])
"""

COLLECTOR_ACTS = {
    "class-flipped": (True, "lambda item: setattr(item, '__class__', Other)"),
    "dict-read": (False, "vars"),
    "dict-replaced": (True, "lambda item: setattr(item, '__dict__', dict(vars(item)))"),
    "item-copied": (False, "copy.copy"),
    "copy-rebound": (True, "lambda item: setattr(M, 'copy', copy)"),
}


@pytest.mark.parametrize("name", sorted(COLLECTOR_ACTS))
def test_finalizers_run_by_the_collector_lose_no_matched_item(name):
    prior, act = COLLECTOR_ACTS[name]
    prelude = "PRIOR_DICT = %r\nACT = %s\n" % (prior, act)
    native, reference = [run_fresh(SETUPS[side] + PRELUDE + prelude + COLLECTOR_PRELUDE)
                         for side in ("native", "reference")]
    assert native == reference == "bad []\n"


# An object the program lets go of is freed where Python frees it, not
# later when the native pass drops what it kept: its finalizer installs a
# new _assign_roi_info while the second item's box is read (a property that
# drops the last reference), and that item is tagged by it.
RELEASES = {
    "copy-binding": """
        class Shim:
            copy = staticmethod(copy.copy)
            def __del__(self):
                W._assign_roi_info = staticmethod(tagger)
        M.copy = Shim()
        release = lambda: setattr(M, "copy", copy)
    """,
    "roi-data-binding": """
        class Keys:
            ROI_ID_KEY, ROI_LABEL_KEY = "roi_id", "label"
        class Holder:
            def __del__(self):
                W._assign_roi_info = staticmethod(tagger)
        Keys.holder = Holder()
        real = getattr(M, "RoiData", None)
        if real is not None:
            M.RoiData = Keys
        def release():
            del Keys.holder
    """,
}


@pytest.mark.parametrize("kind", ["det", "track"])
@pytest.mark.parametrize("name", sorted(RELEASES))
def test_a_released_object_is_finalized_where_python_finalizes_it(name, kind):
    body = textwrap.dedent("""
        def tagger(c, matched, has_info):
            c.tagged = "override"
        class Track(Det):
            def __init__(self, t):
                self.tlwh = t
                self.info = {"rect": t}
        class Releasing(Det):
            def __init__(self, t):
                self._t = t
            @property
            def tlwh(self):
                release()
                return self._t
        copy.copy(Releasing(None)); copy.copy(Track(None))
        w = W([{"include": True, "points": SQUARE, "roi_id": "r", "label": "R"}])
    """) + textwrap.dedent(RELEASES[name]) + textwrap.dedent("""
        first = %s([.4, .4, .2, .2])
        out = w.filter_in_roi([first, Releasing([.4, .4, .2, .2]), Det([.4, .4, .2, .2])])
        print([getattr(o, "tagged", None) for o in out])
    """ % ("Track" if kind == "track" else "Det"))
    native, reference = [run_fresh(SETUPS[side] + PRELUDE + body)
                         for side in ("native", "reference")]
    assert native == reference
    assert "override" in native


# --- wrappers installed before the import ----------------------------------------

# What the filter and the library functions it calls reach, wrapped to count
# its calls before the filter (native or plain) is imported: the native
# shortcut must call each as often as the plain algorithm does.
WRAPPED_BEFORE_IMPORT = {
    "Polygon.contains": "import shapely.geometry as g; wrap(g.Polygon, 'contains')",
    "Point.__new__": "import shapely.geometry as g\n"
                     "g.Point.__new__ = staticmethod(counted(g.Point.__new__))",
    "shapely.points": "import shapely; wrap(shapely, 'points')",
    "shapely.contains": "import shapely; wrap(shapely, 'contains')",
    "shapely.lib": "import shapely.lib as lib\n"
                   "for name in ('contains_scalar', 'is_valid_input_scalar', 'contains'):\n"
                   "    if hasattr(lib, name): wrap(lib, name)",
    "numpy.issubdtype": "import numpy; wrap(numpy, 'issubdtype')",
    "builtins.id": "import builtins; wrap(builtins, 'id')",
    "copy.copy": "import copy; wrap(copy, 'copy')",
}


@pytest.mark.parametrize("name", sorted(WRAPPED_BEFORE_IMPORT))
def test_wrappers_installed_before_the_import_are_called_as_the_algorithm_calls_them(name):
    code = textwrap.dedent("""
        calls = []
        def counted(f):
            def wrapper(*args, **kwargs):
                calls.append(1)
                return f(*args, **kwargs)
            return wrapper
        def wrap(owner, attr):
            setattr(owner, attr, counted(getattr(owner, attr)))
    """) + WRAPPED_BEFORE_IMPORT[name] + textwrap.dedent("""
        import ombrix_sdk.roi.zone_warden as native
        import benchmarks.reference_zone_warden as reference
        class Det:
            def __init__(self, t):
                self.tlwh = t
        SQUARE = [[.2, .2], [.8, .2], [.8, .8], [.2, .8]]
        for W in (native.ZoneWarden, reference.PyZoneWarden):
            w = W([{"include": True, "points": SQUARE, "roi_id": "r"},
                   {"include": False, "points": [[.4, .4], [.6, .4], [.6, .6], [.4, .6]]}])
            w.filter_in_roi([Det([.1, .1, .1, .1])])
            del calls[:]
            out = w.filter_in_roi([Det([.25, .25, .1, .1]), Det([.45, .45, .1, .1]),
                                   Det([0, 0, .1, .1])])
            print(len(calls), len(out))
    """)
    native, reference = run_fresh(code).splitlines()
    assert native == reference
