"""Frame filtering speed of ombrix_sdk.roi.zone_warden.ZoneWarden.

Scenario: a 1920x1080 frame with 4 include regions (convex and concave, 8 to
32 vertices) and 2 exclusion regions overlapping them; frames of 10, 100 and
1000 detections with pixel boxes spread over the frame, about half of them
kept. Per frame, ZoneWarden.filter_in_roi is compared with

  (a) the same algorithm written plainly in Python over shapely, and
  (b) shapely's vectorised ``contains_xy`` over the same anchor points
      (which neither copies nor tags the items),

and the cost per item of the shallow copy and tagging alone is measured.
What is compared is timed in alternating rounds in one process (best round
of each kept), so that load from elsewhere on the machine falls on all sides
alike.

Run as ``python benchmarks/bench_zone_warden.py`` (prints a table), or through
``python -m benchmarks``, which calls ``run()`` for its (label, value, unit)
rows.
"""

import copy
import gc
import math
import os
import random
import sys
import timeit

# NumPy's BLAS threads would only spin beside the measurements on a small
# machine; nothing here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import shapely  # noqa: E402
from shapely.geometry import Point  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from benchmarks.reference_zone_warden import PyZoneWarden  # noqa: E402
from ombrix_sdk.roi.zone_warden import ZoneWarden  # noqa: E402

FRAME = (1920.0, 1080.0)
SIZES = (10, 100, 1000)
SEED = 20240501
# Goals at 100 detections.
GOAL_VS_PYTHON = 30.0
GOAL_VS_CONTAINS_XY = 1.5


class Detection(object):
    def __init__(self, tlwh):
        self.tlwh = tlwh


def star(cx, cy, r_outer, r_inner, points, turn=0.0):
    """A concave star with 2 * points vertices."""
    out = []
    for k in range(2 * points):
        r = r_outer if k % 2 == 0 else r_inner
        a = turn + math.pi * k / points
        out.append([cx + r * math.cos(a), cy + r * math.sin(a)])
    return out


def regular(cx, cy, r, n, turn=0.0):
    """A convex regular polygon with n vertices."""
    return [[cx + r * math.cos(turn + 2 * math.pi * k / n),
             cy + r * math.sin(turn + 2 * math.pi * k / n)] for k in range(n)]


def region_records():
    include = [
        ("zone-a", "a", regular(0.22, 0.30, 0.20, 8, 0.3)),      # convex, 8
        ("zone-b", "b", star(0.70, 0.30, 0.24, 0.12, 8, 0.1)),   # concave, 16
        ("zone-c", "c", regular(0.30, 0.75, 0.22, 32)),          # convex, 32
        ("zone-d", "d", star(0.74, 0.74, 0.22, 0.14, 12, 0.2)),  # concave, 24
    ]
    exclude = [
        ("excl-1", "x1", [[0.30, 0.20], [0.62, 0.20], [0.62, 0.45], [0.30, 0.45]]),
        ("excl-2", "x2", regular(0.55, 0.70, 0.15, 6)),
    ]
    records = []
    for label, rid, pts in include:
        records.append({"include": True, "points": pts, "label": label, "roi_id": rid})
    for label, rid, pts in exclude:
        records.append({"include": False, "points": pts, "label": label, "roi_id": rid})
    return records


# --- (a) the algorithm, plainly in Python over shapely ------------------------


# --- (b) shapely's vectorised containment over the anchor points -------------


class VectorFilter(object):
    """contains_xy of every include region and its overlaps, on own copies of
    the geometries (contains_xy prepares them in place)."""

    def __init__(self, warden):
        self.regions = []
        for roi in warden._included_rois:
            poly = shapely.from_wkb(shapely.to_wkb(roi["shapely_polygon"]))
            overlaps = [shapely.from_wkb(shapely.to_wkb(g))
                        for g in warden._exclusion_intersections[id(roi)]]
            shapely.prepare(poly)
            for g in overlaps:
                shapely.prepare(g)
            self.regions.append((poly, overlaps))

    def kept(self, xs, ys):
        keep = np.zeros(len(xs), dtype=bool)
        for poly, overlaps in self.regions:
            inside = shapely.contains_xy(poly, xs, ys)
            for g in overlaps:
                inside &= ~shapely.contains_xy(g, xs, ys)
            keep |= inside
        return keep


# --- scenario ---------------------------------------------------------------------


def make_frame(n, rng, kept_area):
    """n pixel boxes, half with their centre in the kept area."""
    boxes = []
    want_in = n // 2
    while len(boxes) < n:
        w = rng.uniform(20.0, 160.0)
        h = rng.uniform(20.0, 160.0)
        cx = rng.uniform(0.0, FRAME[0])
        cy = rng.uniform(0.0, FRAME[1])
        inside = kept_area.contains(Point(cx / FRAME[0], cy / FRAME[1]))
        if inside and want_in > 0:
            want_in -= 1
        elif inside or len(boxes) - (n // 2 - want_in) >= n - n // 2:
            continue
        boxes.append((cx - w / 2.0, cy - h / 2.0, w, h))
    rng.shuffle(boxes)
    return boxes


def loop_size(fn, budget):
    """Calls per timed run for a run of about `budget` seconds."""
    number = 1
    while True:
        t = timeit.timeit(fn, number=number)
        if t > budget or number > 1 << 20:
            return number
        number *= 2


def per_call_paired(fns, budget=1.5, rounds=15):
    """Seconds per call of each of `fns`, measured alternately: `rounds`
    rounds of one timed run of each, best run of each kept. A spell of load
    from elsewhere on the machine then falls on all of them instead of on
    whichever happened to be measured at the time, and the rounds spread
    over a second or two give each of them quiet moments to be timed in
    (load from other processes slows the filter's dict and allocation work
    more than contains_xy's array loops, so short windows skew the ratio
    even when alternated). Collections are
    cleared before the first round and the collector stays off while timing
    (as timeit does), so neither side pays for garbage the other left."""
    numbers = [loop_size(fn, budget / (rounds * len(fns))) for fn in fns]
    gc.collect()
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, (fn, number) in enumerate(zip(fns, numbers)):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number)
    return best


def copy_and_tag_cost(n):
    """Per item: filtering items that all match (copied and tagged) minus
    filtering the same items passed through unmatched by an empty region."""
    rng = random.Random(SEED + 1)
    dets = [Detection((rng.uniform(0, 1800), rng.uniform(0, 1000), 50.0, 60.0))
            for _ in range(n)]
    everywhere = ZoneWarden([{"include": True, "points": [[-1, -1], [2, -1], [2, 2], [-1, 2]],
                              "label": "all", "roi_id": "all"}], FRAME)
    elsewhere = ZoneWarden([{"include": True, "points": [[5, 5], [6, 5], [6, 6], [5, 6]],
                             "label": "far", "roi_id": "far"},
                            {"include": True, "points": [], "label": "rest", "roi_id": "rest"}],
                           FRAME)
    assert len(everywhere.filter_in_roi(dets)) == n
    assert all(a is b for a, b in zip(elsewhere.filter_in_roi(dets), dets))
    tagged, passed, py_copy = per_call_paired([lambda: everywhere.filter_in_roi(dets),
                                               lambda: elsewhere.filter_in_roi(dets),
                                               lambda: [copy.copy(d) for d in dets]])
    return (tagged - passed) / n, py_copy / n


def measure():
    """The measurements, as a dict per frame size plus the copy figures."""
    rng = random.Random(SEED)
    records = region_records()
    warden = ZoneWarden(copy.deepcopy(records), FRAME)
    python = PyZoneWarden(copy.deepcopy(records), FRAME)
    vector = VectorFilter(warden)
    kept_area = shapely.union_all([
        shapely.difference(r["shapely_polygon"],
                           shapely.union_all(warden._exclusion_intersections[id(r)]))
        for r in warden._included_rois])
    frames = []
    for n in SIZES:
        boxes = make_frame(n, rng, kept_area)
        dets = [Detection(b) for b in boxes]
        xs = np.array([(b[0] + b[2] * 0.5) / FRAME[0] for b in boxes])
        ys = np.array([(b[1] + b[3] * 0.5) / FRAME[1] for b in boxes])
        mine = warden.filter_in_roi(dets, FRAME)
        theirs = python.filter_in_roi(dets, FRAME)
        mask = vector.kept(xs, ys)
        # All three must agree before their times mean anything.
        assert [d.tlwh for d in mine] == [d.tlwh for d in theirs]
        assert [(d.roi_id, d.roi_name) for d in mine] == [(d.roi_id, d.roi_name) for d in theirs]
        assert [d.tlwh for d in mine] == [b for b, k in zip(boxes, mask) if k]
        # The three alternately, so that each ratio compares like with like.
        zone_warden, plain, contains_xy = per_call_paired([
            lambda: warden.filter_in_roi(dets, FRAME),
            lambda: python.filter_in_roi(dets, FRAME),
            lambda: vector.kept(xs, ys)])
        frames.append({
            "items": n,
            "kept": len(mine),
            "zone_warden": zone_warden,
            "python": plain,
            "contains_xy": contains_xy,
        })
    copy_tag, py_copy = copy_and_tag_cost(1000)
    return frames, copy_tag, py_copy


def run():
    """Rows of (label, value, unit); "A / B" is A's time divided by B's."""
    frames, copy_tag, py_copy = measure()
    rows = []
    for f in frames:
        n = f["items"]
        goal_python = " (goal >= %.0fx)" % GOAL_VS_PYTHON if n == 100 else ""
        goal_vector = " (goal >= %gx)" % GOAL_VS_CONTAINS_XY if n == 100 else ""
        rows += [
            ("filter_in_roi, %d detections, %d kept (us per frame)" % (n, f["kept"]),
             f["zone_warden"] * 1e6, "us"),
            ("plain Python over shapely / filter_in_roi, %d detections%s" % (n, goal_python),
             f["python"] / f["zone_warden"], "x"),
            ("shapely.contains_xy / filter_in_roi, %d detections%s" % (n, goal_vector),
             f["contains_xy"] / f["zone_warden"], "x"),
        ]
    rows += [
        ("filter_in_roi copy + tagging per matched item (ns)", copy_tag * 1e9, "ns"),
        ("copy.copy alone per item, in Python (ns)", py_copy * 1e9, "ns"),
    ]
    return rows


def main():
    frames, copy_tag, py_copy = measure()
    print("ZoneWarden.filter_in_roi per frame: 4 include regions (8 to 32 vertices),")
    print("2 exclusion regions, pixel boxes in a %dx%d frame (Python %s)"
          % (FRAME[0], FRAME[1], sys.version.split()[0]))
    print()
    print("%7s %5s %14s %16s %16s %12s %14s" % (
        "items", "kept", "zone_warden us", "plain Python us", "contains_xy us",
        "Python / zw", "contains_xy / zw"))
    for f in frames:
        print("%7d %5d %14.1f %16.1f %16.1f %11.1fx %15.2fx" % (
            f["items"], f["kept"], f["zone_warden"] * 1e6, f["python"] * 1e6,
            f["contains_xy"] * 1e6, f["python"] / f["zone_warden"],
            f["contains_xy"] / f["zone_warden"]))
    print()
    print("copy + tagging per matched item: %.0f ns (copy.copy alone in Python: %.0f ns)"
          % (copy_tag * 1e9, py_copy * 1e9))
    at100 = [f for f in frames if f["items"] == 100][0]
    vs_python = at100["python"] / at100["zone_warden"]
    vs_vector = at100["contains_xy"] / at100["zone_warden"]
    print("goals at 100 detections: %.1fx plain Python (goal %.0fx), %.2fx contains_xy "
          "(goal %gx): %s" % (vs_python, GOAL_VS_PYTHON, vs_vector, GOAL_VS_CONTAINS_XY,
                                "met" if vs_python >= GOAL_VS_PYTHON and
                                vs_vector >= GOAL_VS_CONTAINS_XY else "NOT met"))


if __name__ == "__main__":
    main()
