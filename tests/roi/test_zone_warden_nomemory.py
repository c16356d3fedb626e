"""Failed allocations in ZoneWarden: construction gives a MemoryError or a
working instance; filter_in_roi, on the shortcut and through the hooks,
gives the full result, its documented [] (after recording the MemoryError, or
a library's own report of the failure), or a MemoryError from the recording;
never a crash."""

import pytest

COMMON = """
from ombrix_sdk.roi.zone_warden import ZoneWarden
import ombrix_sdk.roi.zone_warden as zw

RECORDED = []
zw.exception_traceback = lambda logger, e: RECORDED.append(e)  # a failure is recorded, quietly

class Det(object):
    def __init__(self, tlwh):
        self.tlwh = tlwh

class Track(Det):
    def __init__(self, tlwh):
        self.tlwh = tlwh
        self.info = {"rect": tlwh}

def records():
    return [{"roi_id": "u", "label": "U", "include": True,
             "points": [[.1, .1], [.3, .1], [.3, .6], [.7, .6], [.7, .1], [.9, .1], [.9, .9], [.1, .9]]},
            {"roi_id": "x", "label": "bar", "include": False,
             "points": [[0, .3], [1, .3], [1, .4], [0, .4]]},
            {"roi_id": "e", "label": "none", "include": True, "points": []},
            {"roi_id": "d", "label": "D", "include": True,
             "points": [[.9375, 0], [1, 0], [1, .0625]]}]

# kept in the U, on the diagonal edge of d (a point the geometry library
# decides), excluded from either arm by the bar, in the U's notch, in pixels
BOXES = [(.2, .2, 0, 0), (.96875, .03125, 0, 0), (.8, .2, 0, 0), (.2, .35, 0, 0), (.5, .8, 0, 0),
         (.8, .35, 0, 0), (.5, .3, 0, 0), (384.0, 540.0, 20.0, 30.0)]
invariant = lambda state: None
# shapely and numpy report some failed allocations in their own ways
allowed = library_fault
"""

OPS = {
    "construction": """
prepare = records
op = ZoneWarden
def check(recs, w):
    items = [Det(b) for b in BOXES]
    return "result" if len(w.filter_in_roi(items, (1920, 1080), (0, 0))) == len(BOXES) else None
""",
}
# Filtering, on the native shortcut and (a hook overridden) through the
# hooks; the documented [] must come with the failed allocation recorded.
FILTER = """
class Hooked(ZoneWarden):
    def _is_point_in_polygon(self, point, polygon):
        return ZoneWarden._is_point_in_polygon(point, polygon)
WARDEN = %s(records())
def prepare():
    del RECORDED[:]
    return [Track(b) if i %% 2 else Det(b) for i, b in enumerate(BOXES)]
op = lambda items: WARDEN.filter_in_roi(items, (1920, 1080), (0, 0))
def check(items, kept):
    if kept == []:
        return "documented" if [type(e) is MemoryError or library_fault(e)
                                for e in RECORDED] == [True] else None
    ids = [(getattr(k, "roi_id", None) or k.info["roi_id"]) if k not in items else None
           for k in kept]
    return "result" if ids == [["u"], None, ["u"], None, ["u"], None, None, ["u"]] else None
"""
OPS["filter_in_roi"] = FILTER % "ZoneWarden"
OPS["filter_in_roi through the hooks"] = FILTER % "Hooked"


@pytest.mark.parametrize("name", sorted(OPS))
def test_failed_allocations(nomemory_sweep, name):
    nomemory_sweep("zone_warden " + name, COMMON + OPS[name], trials=range(0, 301))
