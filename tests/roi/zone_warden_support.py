"""Items, regions and a plain-Python rendering of the region filter, shared
by the ZoneWarden tests."""

import copy
import math

import numpy as np
from shapely.geometry import Point, Polygon

# The squares used throughout the examples: normalised frame coordinates.
OUTER = [(0.2, 0.2), (0.8, 0.2), (0.8, 0.8), (0.2, 0.8)]
INNER = [(0.4, 0.4), (0.6, 0.4), (0.6, 0.6), (0.4, 0.6)]
CORNER = [(0.85, 0.85), (0.99, 0.85), (0.99, 0.99), (0.85, 0.99)]


def region(points, include=True, label=None, roi_id=None):
    """A region record as a caller writes it: plain nested lists."""
    record = {"include": include, "points": [list(p) for p in points]}
    if label is not None:
        record["label"] = label
    if roi_id is not None:
        record["roi_id"] = roi_id
    return record


def square(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def regular(cx, cy, r, n, turn=0.0):
    return [(cx + r * math.cos(turn + 2 * math.pi * k / n),
             cy + r * math.sin(turn + 2 * math.pi * k / n)) for k in range(n)]


def star(cx, cy, r_out, r_in, n, turn=0.0):
    pts = []
    for k in range(2 * n):
        r = r_out if k % 2 == 0 else r_in
        a = turn + math.pi * k / n
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


class Det(object):
    """A detection: only `tlwh`."""

    def __init__(self, tlwh):
        self.tlwh = tlwh

    def __repr__(self):
        return "Det(%r)" % (vars(self).get("tlwh"),)


class Track(object):
    """A track: `tlwh` and an info mapping whose "rect" is the given rect,
    or `tlwh` when none is given."""

    def __init__(self, tlwh, rect=None):
        self.tlwh = tlwh
        self.info = {"rect": tlwh if rect is None else rect}

    def __repr__(self):
        return "Track(%r)" % (vars(self).get("tlwh"),)


class PropertyDet(object):
    """A detection whose box is a property (attribute access runs code)."""

    def __init__(self, tlwh):
        self._box = tlwh

    @property
    def tlwh(self):
        return self._box


class SlotDet(object):
    """A detection with __slots__ (copied through copy.copy's slot state)."""

    __slots__ = ("tlwh", "roi_id", "roi_name", "__weakref__")

    def __init__(self, tlwh):
        self.tlwh = tlwh


class CopyHookDet(Det):
    """A detection with its own __copy__, which records the copies made."""

    copies = 0

    def __copy__(self):
        type(self).copies += 1
        twin = CopyHookDet(self.tlwh)
        twin.copied = True
        return twin


def make_item(kind, tlwh, rect=None):
    if kind == "det":
        return Det(tlwh)
    if kind == "track":
        return Track(tlwh, rect)
    if kind == "property":
        return PropertyDet(tlwh)
    if kind == "slots":
        return SlotDet(tlwh)
    raise ValueError(kind)


class ReferenceWarden(object):
    """The region filter written plainly in Python over shapely. A failure
    is kept in `failure` instead of being logged."""

    def __init__(self, polygons=None, frame_sz=None):
        self.polygons = None
        if polygons:
            self.polygons = copy.deepcopy(polygons)
        self.rois = polygons
        if frame_sz:
            self.frame_sz = [float(frame_sz[0]), float(frame_sz[1])]
        else:
            self.frame_sz = [1.0, 1.0]
        self._included_rois = []
        self._empty_polygon = None
        self._exclusion_intersections = {}
        self.failure = None
        if not self.rois:
            return
        for roi in self.rois:
            roi["points"] = np.array(roi["points"], dtype=np.float32)
            roi["shapely_polygon"] = Polygon(roi["points"])
        exclusions = [roi for roi in self.rois if not roi["include"]]
        for roi in self.rois:
            if len(roi["points"]) == 0:
                self._empty_polygon = roi
                continue
            if roi["include"]:
                self._included_rois.append(roi)
                kept = []
                for excl in exclusions:
                    overlap = roi["shapely_polygon"].intersection(excl["shapely_polygon"])
                    if not overlap.is_empty:
                        kept.append(overlap)
                self._exclusion_intersections[id(roi)] = kept

    def filter_in_roi(self, det_or_trk, frame_sz=None, anchor_pt=(0.5, 0.5)):
        self.failure = None
        try:
            if not frame_sz:
                frame_sz = self.frame_sz
            if not self.rois:
                return det_or_trk
            fx, fy = frame_sz[0], frame_sz[1]
            ax, ay = anchor_pt
            included = self._included_rois
            empty = self._empty_polygon
            result = []
            for item in det_or_trk:
                try:
                    item.info
                    has_info = True
                except Exception:
                    has_info = False
                box = item.info.get("rect", item.tlwh) if has_info else item.tlwh
                x, y, w, h = box
                rx = x + w * ax
                ry = y + h * ay
                if w > 1.0 and h > 1.0:
                    rx = rx / fx
                    ry = ry / fy
                point = Point(rx, ry)
                matches = []
                for roi in included:
                    if roi["shapely_polygon"].contains(point):
                        overlaps = self._exclusion_intersections.get(id(roi), [])
                        if not any(g.contains(point) for g in overlaps):
                            matches.append(roi)
                if matches:
                    item_copy = copy.copy(item)
                    ids = [p.get("roi_id", "") for p in matches]
                    names = [p.get("label", "") for p in matches]
                    if has_info:
                        item_copy.info["roi_id"] = ids
                        item_copy.info["roi_name"] = names
                    else:
                        item_copy.roi_id = ids
                        item_copy.roi_name = names
                    result.append(item_copy)
                elif empty is not None:
                    result.append(item)
            return result
        except Exception as e:
            self.failure = e
            return []


def tags_of(obj):
    """The tags an item carries: (ids, names), or None."""
    info = getattr(obj, "info", None)
    if isinstance(info, dict):
        if "roi_id" in info or "roi_name" in info:
            return (info.get("roi_id"), info.get("roi_name"))
        return None
    if hasattr(obj, "roi_id") or hasattr(obj, "roi_name"):
        return (getattr(obj, "roi_id", None), getattr(obj, "roi_name", None))
    return None


def outcome(result, items):
    """What a filter result says about its items, comparable across runs on
    separate but equal inputs: per element, ("item", i) for input item i
    handed back itself, or ("copy", i, tags) for a shallow copy of item i
    (a new object of its class sharing its attribute values)."""
    described = []
    for element in result:
        same = [i for i, it in enumerate(items) if it is element]
        if same:
            described.append(("item", same[0]))
            continue
        origin = [i for i, it in enumerate(items)
                  if type(it) is type(element) and _shares_values(it, element)]
        assert len(origin) == 1, "result element %r is no copy of one input item" % (element,)
        described.append(("copy", origin[0], tags_of(element)))
    return described


def _shares_values(item, element):
    if hasattr(item, "info"):
        return element.info is item.info and element.tlwh is item.tlwh
    return getattr(element, "tlwh", None) is getattr(item, "tlwh", None) and \
        getattr(item, "tlwh", None) is not None
