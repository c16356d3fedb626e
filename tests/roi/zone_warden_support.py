"""Items, regions and a plain-Python rendering of the region filter, shared
by the ZoneWarden tests."""

import math

from benchmarks.reference_zone_warden import PyZoneWarden

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


ReferenceWarden = PyZoneWarden


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
