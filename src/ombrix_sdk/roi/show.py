"""Draw a region set and what one frame's filtering kept.

    python -m ombrix_sdk.roi.show REGIONS.json [--image SNAPSHOT] [--frame-size WxH]
        [--detections DETS.json] [--anchor X,Y] -o OUT.png

Over the snapshot (or a blank frame of the frame size) the picture shows
every include region filled translucent with its label and identifier, the
exclusion regions hatched, and the overlaps that the ``ZoneWarden``
precomputed between them outlined: an exclusion region without an outline
cuts nothing.  With ``--detections`` it shows each box, its anchor point and
whether ``ZoneWarden.filter_in_roi`` kept it (with the names of the matched
regions), dropped it, or passed it through unmatched.  The verdicts are those
of the real filter; this module only draws them.  No label covers another
or an anchor point, and every label lies inside the frame: each takes the
first free spot above, below, inside or beside its box or region, and one
that finds none becomes a numbered marker with its text in the legend.  A
legend and the frame size are drawn in a strip below the frame, and one
line per box goes to stdout.

REGIONS.json holds a list of region records (``{"roi_id": ..., "label":
..., "include": true|false, "points": [[x, y], ...]}``, x and y as fractions
of the frame, origin top-left, y down), or an object with such a list under
``"regions"``.  DETS.json holds a list of boxes ``[x, y, w, h]`` in pixels or
fractions, as the filter reads them, or of tracks ``{"tlwh": [x, y, w, h],
"info": {...}}`` (an ``info`` ``"rect"`` is the box the filter uses).

Drawing needs Pillow (``pip install "ombrix-sdk[viz]"``); the SDK does not.
Exit status: 0 when the picture was written, 1 with an ``error:`` line on
stderr when an input cannot be used, 2 for bad options.
"""

import argparse
import collections
import json
import logging
import math
import re
import sys

from ombrix_sdk.constants import KEY
from ombrix_sdk.roi import zone_warden

INSTALL_HINT = 'pip install "ombrix-sdk[viz]" (or pip install Pillow)'
DEFAULT_FRAME_SIZE = (1920, 1080)
# A blank frame larger than this on a side is drawn scaled down to fit.
MAX_BLANK_SIDE = 4096

# Colours (RGB).  Include regions take the palette in turn; exclusion hatch,
# overlaps and the three verdicts have colours of their own, far from it.
INCLUDE_PALETTE = [(70, 120, 255), (170, 90, 230), (0, 175, 175), (235, 200, 0),
                   (255, 120, 200), (150, 110, 60)]
INCLUDE_FILL_ALPHA = 80
EXCLUSION_COLOR = (255, 130, 0)
OVERLAP_COLOR = (255, 255, 255)
BLANK_COLOR = (48, 48, 48)
PANEL_COLOR = (20, 20, 20)
TEXT_COLOR = (240, 240, 240)
VERDICT_COLORS = {"kept": (40, 220, 80), "dropped": (255, 40, 40), "passed": (0, 200, 255)}

Verdict = collections.namedtuple(
    "Verdict", "index kind label box anchor outcome roi_ids roi_names reason")
Verdict.__doc__ = """What the filter did with one box.

index: position in the input (0-based); kind: "detection" or "track";
label: short text for the picture; box: the (x, y, w, h) the filter used;
anchor: the anchor point in fractions of the frame; outcome: "kept",
"dropped" or "passed" (unmatched, let through by the empty region);
roi_ids, roi_names: the tags of a kept box, else empty; reason: for a box
that was not kept, why not, in words."""

Picture = collections.namedtuple("Picture", "image verdicts frame_size notes labels")
Picture.__doc__ = """The rendered picture (a Pillow RGB image of the frame
plus the legend strip below it), the verdicts in input order, the frame size
(width, height) the filter used, notes about suspicious input, and the
Labels: where every text of the picture went."""

Label = collections.namedtuple("Label", "text rect owner where")
Label.__doc__ = """Where one text of the picture went.

text: the text drawn; rect: the pixels its tag covers, (left, top, right,
bottom) with right and bottom exclusive, in the picture (the legend strip
starts below the frame); owner: ("region", n) or ("box", n), the region
record or box (0-based, in input order) it names, None for the legend's own
entries; where: "above", "below", "inside", "left" or "right" of its box or
region, "marker" (a number whose text is in the legend) or "legend"."""


class InputError(Exception):
    """An input that cannot be used, reported as one ``error:`` line."""


class RegionError(InputError):
    """Region records that ZoneWarden refuses to build from."""


class _Box(object):
    """A detection as the filter reads it: ``tlwh`` only."""

    def __init__(self, index, tlwh):
        self.index = index
        self.tlwh = tlwh


class _Track(_Box):
    """A track: ``tlwh`` and an ``info`` mapping."""

    def __init__(self, index, tlwh, info):
        _Box.__init__(self, index, tlwh)
        self.info = info


class _ErrorCounter(logging.Handler):
    """Counts the SDK's error records (tracebacks from the region filter);
    the demo counts with it too."""

    def __init__(self):
        logging.Handler.__init__(self, logging.ERROR)
        self.count = 0

    def emit(self, record):
        self.count += 1


# --- reading the inputs -------------------------------------------------------


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _finite_numbers(values, count):
    return (isinstance(values, (list, tuple)) and len(values) == count
            and all(_is_number(v) and math.isfinite(v) for v in values))


def _read_json(path, what):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except OSError as e:
        raise InputError("cannot read the %s file %s: %s" % (what, path, e.strerror or e))
    except ValueError as e:
        raise InputError("the %s file %s is not valid JSON: %s" % (what, path, e))


def check_regions(regions, where):
    """Raise InputError unless ``regions`` is a list of region records that
    the filter can build: objects with the include and points keys, points a
    list of at least three [x, y] number pairs or empty (the empty region)."""
    RoiData = zone_warden.RoiData
    if not isinstance(regions, list):
        raise InputError("%s must hold a JSON list of region records" % where)
    for n, record in enumerate(regions, 1):
        name = "region %d of %s" % (n, where)
        if not isinstance(record, dict):
            raise InputError("%s is not a JSON object" % name)
        for key in (RoiData.INCLUDE_KEY, RoiData.POINTS_KEY):
            if key not in record:
                raise InputError('%s has no "%s" entry' % (name, key))
        points = record[RoiData.POINTS_KEY]
        if not isinstance(points, list) or not all(_finite_numbers(p, 2) for p in points):
            raise InputError('%s: "%s" must be a list of [x, y] number pairs'
                             % (name, RoiData.POINTS_KEY))
        if 0 < len(points) < 3:
            raise InputError("%s: a polygon needs at least 3 points (or none for the "
                             "empty region)" % name)
    return regions


def load_regions(path):
    regions = _read_json(path, "regions")
    if isinstance(regions, dict) and "regions" in regions:
        regions = regions["regions"]
    return check_regions(regions, path)


def check_boxes(boxes, where):
    """Raise InputError unless every entry is [x, y, w, h] or a track
    {"tlwh": [x, y, w, h], "info": {...}} whose "rect", if any, is a box."""
    if not isinstance(boxes, list):
        raise InputError("%s must hold a JSON list of boxes" % where)
    shape = ('expected [x, y, w, h] or {"tlwh": [x, y, w, h], "info": {...}} '
             "with finite numbers")
    for n, entry in enumerate(boxes, 1):
        name = "box %d of %s" % (n, where)
        if isinstance(entry, dict):
            info = entry.get("info", {})
            if not _finite_numbers(entry.get("tlwh"), 4) or not isinstance(info, dict):
                raise InputError("%s: %s" % (name, shape))
            if "rect" in info and not _finite_numbers(info["rect"], 4):
                raise InputError('%s: its info "rect" must be [x, y, w, h] with finite '
                                 "numbers" % name)
        elif not _finite_numbers(entry, 4):
            raise InputError("%s: %s" % (name, shape))
    return boxes


def load_boxes(path):
    return check_boxes(_read_json(path, "detections"), path)


def _items(boxes):
    """Frame items for the filter, one per entry; tracks get their own info
    mapping, so the tags the filter writes never reach the caller's."""
    items = []
    for i, entry in enumerate(boxes):
        if isinstance(entry, dict):
            info = dict(entry.get("info") or {})
            info.pop(KEY.ROI_ID, None)
            info.pop(KEY.ROI_NAME, None)
            items.append(_Track(i, tuple(entry["tlwh"]), info))
        else:
            items.append(_Box(i, tuple(entry)))
    return items


# --- the verdicts ---------------------------------------------------------------


def _anchor(box, frame_size, anchor_pt):
    """The anchor point in fractions of the frame, computed as the filter
    does: pixel boxes (width and height above 1) are divided by the frame."""
    x, y, w, h = box
    rx = x + w * anchor_pt[0]
    ry = y + h * anchor_pt[1]
    if w > 1.0 and h > 1.0:
        rx = rx / frame_size[0]
        ry = ry / frame_size[1]
    return rx, ry


def _region_name(record):
    RoiData = zone_warden.RoiData
    label = record.get(RoiData.ROI_LABEL_KEY, "")
    rid = record.get(RoiData.ROI_ID_KEY, "")
    if label and rid:
        return "%s (%s)" % (label, rid)
    return str(label or rid or "unnamed")


def _why_not(warden, box, anchor, empty_region):
    """In words, why a box that was not kept missed every include region.
    Asks the warden's own containment and exclusion checks."""
    point = zone_warden.Point(*anchor)
    cut_by = [_region_name(r) for r in warden._included_rois
              if warden._is_point_in_polygon(point, r)
              and warden._is_point_excluded_for_polygon(point, r)]
    if cut_by:
        why = "anchor inside %s, but in its excluded part" % ", ".join(cut_by)
    elif not (0.0 <= anchor[0] <= 1.0 and 0.0 <= anchor[1] <= 1.0):
        why = "anchor (%.4g, %.4g) is outside the frame" % anchor
        if box[2] > 1.0 and box[3] > 1.0:
            why += " (a pixel box: is the frame size right?)"
    else:
        why = "anchor outside every include region"
    if empty_region is not None:
        why += "; passed through by the empty region %s" % _region_name(empty_region)
    return why


def _filter(warden, items, frame_size, anchor_pt):
    errors = _ErrorCounter()
    logger = zone_warden.logger
    logger.addHandler(errors)
    try:
        kept = warden.filter_in_roi(items, list(frame_size), tuple(anchor_pt))
    finally:
        logger.removeHandler(errors)
    if errors.count:
        raise InputError("the region filter failed on these boxes (its traceback is above)")
    return kept


def verdicts_for(warden, boxes, frame_size, anchor_pt=(0.5, 0.5)):
    """One Verdict per entry of ``boxes``, from one call of
    ``warden.filter_in_roi`` on items made from them."""
    items = _items(boxes)
    if not items:
        return []
    kept = _filter(warden, items, frame_size, anchor_pt)
    if kept is items:  # a warden without regions hands its input back
        outcome = dict((id(item), ("passed", item)) for item in items)
    else:
        outcome = {}
        for result in kept:
            if any(result is item for item in items):
                outcome[id(result)] = ("passed", result)
            else:  # a tagged copy; it carries its input's index
                outcome[id(items[result.index])] = ("kept", result)
    empty_region = getattr(warden, "_empty_polygon", None)
    verdicts = []
    for item in items:
        is_track = isinstance(item, _Track)
        box = tuple(item.info.get("rect", item.tlwh)) if is_track else item.tlwh
        anchor = _anchor(box, frame_size, anchor_pt)
        what, result = outcome.get(id(item), ("dropped", None))
        ids, names, reason = [], [], ""
        if what == "kept":
            if is_track:
                ids, names = result.info[KEY.ROI_ID], result.info[KEY.ROI_NAME]
            else:
                ids, names = result.roi_id, result.roi_name
            ids, names = list(ids), list(names)
        elif warden.rois:
            reason = _why_not(warden, box, anchor, empty_region)
        else:
            reason = "no regions: the filter passes everything"
        if is_track and "track_id" in item.info:
            label = "track %s" % (item.info["track_id"],)
        else:
            label = "#%d" % (item.index + 1)
        verdicts.append(Verdict(item.index, "track" if is_track else "detection", label,
                                box, anchor, what, ids, names, reason))
    return verdicts


def region_notes(regions, warden):
    """Notes about region sets that rarely mean what their author wanted."""
    RoiData = zone_warden.RoiData
    notes = []
    for record in regions:
        points = record[RoiData.POINTS_KEY]
        if len(points) and any(not (0.0 <= float(c) <= 1.0) for p in points for c in p):
            notes.append("region %s has vertices outside 0..1: region points are fractions "
                         "of the frame (x right, y down), not pixels" % _region_name(record))
    for exclusion in regions:
        if exclusion[RoiData.INCLUDE_KEY] or not len(exclusion[RoiData.POINTS_KEY]):
            continue
        cut = [r for r in warden._included_rois
               if not r["shapely_polygon"].intersection(exclusion["shapely_polygon"]).is_empty]
        if cut:
            notes.append("exclusion %s cuts %s" % (
                _region_name(exclusion), ", ".join(_region_name(r) for r in cut)))
        else:
            notes.append("exclusion %s overlaps no include region: it excludes nothing"
                         % _region_name(exclusion))
    return notes


# --- drawing ----------------------------------------------------------------------


def _pil():
    try:
        from PIL import Image, ImageDraw, ImageFont
    except ImportError:
        raise InputError("drawing needs Pillow, which is not installed; install it with "
                         + INSTALL_HINT)
    return Image, ImageDraw, ImageFont


def _font(ImageFont, size):
    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1: one bitmap size
        return ImageFont.load_default()


def _rings(geometry):
    """Coordinate sequences that outline a geometry (polygons, their holes,
    lines), however the overlap came out."""
    if geometry.is_empty:
        return []
    if hasattr(geometry, "geoms"):
        return [ring for part in geometry.geoms for ring in _rings(part)]
    if geometry.geom_type == "Polygon":
        return [list(geometry.exterior.coords)] + [list(h.coords) for h in geometry.interiors]
    if geometry.geom_type in ("LineString", "LinearRing"):
        return [list(geometry.coords)]
    return []


class _Canvas(object):
    def __init__(self, modules, background, frame_px):
        self.Image, self.ImageDraw, ImageFont = modules
        self.size = background.size
        width, height = self.size
        self.scale = max(1, int(round(min(width, height) / 360.0)))
        self.font = _font(ImageFont, max(11, min(width, height) // 40))
        self.frame_px = frame_px
        self.base = background.convert("RGBA")
        self.measurer = self.ImageDraw.Draw(self.Image.new("RGBA", (1, 1)))
        self.line = self.measurer.textbbox((0, 0), "Ag", font=self.font)[1::2]
        self.measured = {}

    def xy(self, fx, fy):
        return (fx * self.size[0], fy * self.size[1])

    def layer(self):
        layer = self.Image.new("RGBA", self.size, (0, 0, 0, 0))
        return layer, self.ImageDraw.Draw(layer)

    def fill(self, polygon, color, alpha):
        layer, draw = self.layer()
        draw.polygon(polygon, fill=color + (alpha,))
        draw.line(polygon + polygon[:1], fill=color + (255,), width=2 * self.scale)
        self.base.alpha_composite(layer)

    def hatch(self, polygon, color):
        width, height = self.size
        lines, draw = self.layer()
        step = 8 * self.scale
        for c in range(-height, width + height, step):
            draw.line([(c, 0), (c + height, height)], fill=color + (255,), width=self.scale + 1)
        mask = self.Image.new("L", self.size, 0)
        self.ImageDraw.Draw(mask).polygon(polygon, fill=255)
        clipped = self.Image.new("RGBA", self.size, (0, 0, 0, 0))
        clipped.paste(lines, (0, 0), mask)
        self.base.alpha_composite(clipped)
        outline, draw = self.layer()
        draw.line(polygon + polygon[:1], fill=color + (255,), width=2 * self.scale)
        self.base.alpha_composite(outline)

    def outline(self, points, color, width):
        layer, draw = self.layer()
        draw.line(points, fill=color + (255,), width=width)
        self.base.alpha_composite(layer)

    def measure(self, text):
        """The size of a label's tag (the text on its black background) and
        where the text is drawn within it.  Every tag of a picture is as tall
        as a line of text, whatever letters it holds."""
        if text not in self.measured:
            left, top, right, bottom = self.measurer.textbbox((0, 0), text, font=self.font)
            left, top, bottom = min(left, 0), min(top, self.line[0]), max(bottom, self.line[1])
            pad = self.scale + 1
            self.measured[text] = ((right - left + 2 * pad, bottom - top + 2 * pad),
                                   (pad - left, pad - top))
        return self.measured[text]

    def tag(self, draw, rect, text, color):
        """Draws a label's tag so that it fills ``rect`` exactly."""
        x0, y0, x1, y1 = rect
        offset = self.measure(text)[1]
        draw.rectangle([x0, y0, x1 - 1, y1 - 1], fill=(0, 0, 0, 255))
        draw.text((x0 + offset[0], y0 + offset[1]), text, fill=color + (255,), font=self.font)


def _region_polygon(canvas, record):
    return [canvas.xy(float(x), float(y)) for x, y in record[zone_warden.RoiData.POINTS_KEY]]


def _pixel_rect(x0, y0, x1, y1):
    """The pixels a shape from (x0, y0) to (x1, y1) touches, as a rectangle
    (left, top, right, bottom) with right and bottom exclusive."""
    return (int(math.floor(min(x0, x1))), int(math.floor(min(y0, y1))),
            int(math.floor(max(x0, x1))) + 1, int(math.floor(max(y0, y1))) + 1)


def _overlap(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


# --- labels ---------------------------------------------------------------------
#
# Each region and box asks for one label.  A request lists candidate spots
# in order of preference: (where, x, y, slide), the top-left corner of the
# tag, and the axes along which it may slide to stay inside the frame (an
# "above" label slides left or right, never down onto its box).  Regions ask
# first, then the boxes in input order; each takes the first spot that lies
# inside the frame and overlaps no label placed before it and no anchor
# point, preferring spots that also keep clear of the other boxes.  A label
# without such a spot becomes a numbered marker beside its box or region,
# with its text in the legend.

_Request = collections.namedtuple("_Request", "owner text color candidates")

# How far (in marker heights, each way) a marker may be moved from its box
# or region to find a free spot.
MARKER_REACH = 4


def _box_candidates(rect, size, gap, inset):
    x0, y0, x1, y1 = rect
    w, h = size
    return [("above", x0, y0 - gap - h, "x"), ("above", x1 - w, y0 - gap - h, "x"),
            ("below", x0, y1 + gap, "x"), ("below", x1 - w, y1 + gap, "x"),
            ("inside", x0 + inset, y0 + inset, "xy"),
            ("right", x1 + gap, y0, "y"), ("left", x0 - gap - w, y0, "y")]


def _region_candidates(polygon, size, gap, inset):
    w, h = size
    tx, ty = min(polygon, key=lambda p: (p[1], p[0]))   # the top vertex
    bx, by = min(polygon, key=lambda p: (-p[1], p[0]))  # the bottom vertex
    x0, x1 = min(p[0] for p in polygon), max(p[0] for p in polygon)
    y0 = min(p[1] for p in polygon)
    return [("inside", tx + inset, ty + inset, "xy"), ("above", tx, ty - gap - h, "x"),
            ("inside", bx + inset, by - inset - h, "xy"), ("below", bx, by + gap, "x"),
            ("inside", x1 - inset - w, y0 + inset, "xy"),
            ("right", x1 + gap, y0, "y"), ("left", x0 - gap - w, y0, "y")]


class _Grid(object):
    """Rectangles inside a frame of ``size``, filed by the cells of a grid
    they touch, so that a rectangle is compared only with those near it.
    Each comes with an owner; ``hits`` ignores those of ``but``."""

    CELL = 64

    def __init__(self, size):
        self.size = size
        self.cells = {}

    def _cells(self, rect):
        # Labels lie inside the frame: what lies outside it cannot meet them.
        x0, y0 = max(rect[0], 0), max(rect[1], 0)
        x1, y1 = min(rect[2], self.size[0]), min(rect[3], self.size[1])
        return [(i, j) for i in range(x0 // self.CELL, (x1 - 1) // self.CELL + 1)
                for j in range(y0 // self.CELL, (y1 - 1) // self.CELL + 1)]

    def add(self, rect, owner=None):
        for cell in self._cells(rect):
            self.cells.setdefault(cell, []).append((rect, owner))

    def hits(self, rect, but=None):
        return any(_overlap(rect, other) for cell in self._cells(rect)
                   for other, owner in self.cells.get(cell, ()) if owner is None or owner != but)


class _Placer(object):
    """Spots for labels inside a frame of ``size``: free of the labels placed
    so far and of ``anchors`` (rectangles); clear of ``boxes`` ((rectangle,
    owner) pairs, a box's own label excepted) where that can be had."""

    def __init__(self, size, anchors, boxes):
        self.size = size
        self.taken = _Grid(size)
        for rect in anchors:
            self.taken.add(rect)
        self.boxes = _Grid(size)
        for rect, owner in boxes:
            self.boxes.add(rect, owner)

    def _inside(self, size, candidate):
        where, x, y, slide = candidate
        (width, height), (w, h) = self.size, size
        x, y = int(round(x)), int(round(y))
        if "x" in slide:
            x = min(max(x, 0), width - w)
        if "y" in slide:
            y = min(max(y, 0), height - h)
        if x < 0 or y < 0 or x + w > width or y + h > height:
            return None
        return where, (x, y, x + w, y + h)

    def place(self, size, candidates, owner):
        """The first free (where, rect) among the candidates, now taken; or
        None."""
        spots = [s for s in (self._inside(size, c) for c in candidates) if s]
        spots = [s for s in spots if not self.taken.hits(s[1])]
        for where, rect in [s for s in spots if not self.boxes.hits(s[1], owner)] + spots:
            self.taken.add(rect)
            return where, rect
        return None


# Steps from a label's first spot to the spots for its marker, nearest first.
_MARKER_STEPS = sorted(((i, j) for i in range(-MARKER_REACH, MARKER_REACH + 1)
                        for j in range(-MARKER_REACH, MARKER_REACH + 1)),
                       key=lambda s: s[0] * s[0] + s[1] * s[1])


def _marker_candidates(request, size):
    """Spots for a marker: around the label's first spot, nearest first."""
    _, x, y, _ = request.candidates[0]
    h = size[1]
    return [("marker", x + i * h, y + j * h, "xy") for i, j in _MARKER_STEPS]


def _place_labels(canvas, requests, placer):
    """Places and draws every label; returns the Labels in the frame and the
    legend entries of the labels that had to become markers."""
    draw = canvas.ImageDraw.Draw(canvas.base)
    labels, legend = [], []
    for request in requests:
        size = canvas.measure(request.text)[0]
        spot = placer.place(size, request.candidates, request.owner)
        if spot is not None:
            where, rect = spot
            canvas.tag(draw, rect, request.text, request.color)
            labels.append(Label(request.text, rect, request.owner, where))
            continue
        number = str(1 + sum(1 for entry in legend if entry.kind))
        marker_size = canvas.measure(number)[0]
        spot = placer.place(marker_size, _marker_candidates(request, marker_size),
                            request.owner)
        if spot is None:  # not even a marker fits near it
            legend.append(_Entry(None, request.text + " (no room in the frame)",
                                 request.color, request.owner))
            continue
        canvas.tag(draw, spot[1], number, request.color)
        labels.append(Label(number, spot[1], request.owner, "marker"))
        legend.append(_Entry(("marker", number), request.text, request.color, request.owner))
    return labels, legend


def _draw_regions(canvas, regions, warden):
    """Draws the regions and returns the requests for their labels."""
    RoiData = zone_warden.RoiData
    includes = [(n, r) for n, r in enumerate(regions)
                if r[RoiData.INCLUDE_KEY] and len(r[RoiData.POINTS_KEY])]
    exclusions = [(n, r) for n, r in enumerate(regions)
                  if not r[RoiData.INCLUDE_KEY] and len(r[RoiData.POINTS_KEY])]
    colors = {}
    for k, (n, record) in enumerate(includes):
        colors[n] = INCLUDE_PALETTE[k % len(INCLUDE_PALETTE)]
        canvas.fill(_region_polygon(canvas, record), colors[n], INCLUDE_FILL_ALPHA)
    for n, record in exclusions:
        colors[n] = EXCLUSION_COLOR
        canvas.hatch(_region_polygon(canvas, record), EXCLUSION_COLOR)
    for _, record in includes:
        for overlap in warden._exclusion_intersections.get(id(record), []):
            for ring in _rings(overlap):
                canvas.outline([canvas.xy(x, y) for x, y in ring], OVERLAP_COLOR,
                               2 * canvas.scale)
    requests = []
    inset = 2 * canvas.scale + 2
    for n, record in includes + exclusions:
        text = _region_name(record)
        if not record[RoiData.INCLUDE_KEY]:
            text = "excluded: " + text
        size = canvas.measure(text)[0]
        candidates = _region_candidates(_region_polygon(canvas, record), size,
                                        canvas.scale + 1, inset)
        requests.append(_Request(("region", n), text, colors[n], candidates))
    return requests


def _draw_verdicts(canvas, verdicts):
    """Draws each box and its anchor point; returns the requests for the
    boxes' labels, the anchors' rectangles and the boxes' (rectangle, owner)
    pairs."""
    draw = canvas.ImageDraw.Draw(canvas.base)
    fw, fh = canvas.frame_px
    width, height = canvas.size
    requests, anchors, boxes = [], [], []
    for v in verdicts:
        color = VERDICT_COLORS[v.outcome]
        x, y, w, h = v.box
        if w > 1.0 and h > 1.0:  # pixels of the frame the filter was told about
            x, y, w, h = x / fw, y / fh, w / fw, h / fh
        (x0, y0), (x1, y1) = canvas.xy(x, y), canvas.xy(x + w, y + h)
        x0, x1, y0, y1 = min(x0, x1), max(x0, x1), min(y0, y1), max(y0, y1)
        draw.rectangle([(x0, y0), (x1, y1)], outline=color + (255,), width=canvas.scale + 1)
        owner = ("box", v.index)
        boxes.append((_pixel_rect(x0, y0, x1, y1), owner))
        if v.outcome == "kept":
            text = "%s kept: %s" % (v.label, ", ".join(str(n) for n in v.roi_names))
        else:
            text = "%s %s" % (v.label, v.outcome)
        size = canvas.measure(text)[0]
        candidates = _box_candidates(boxes[-1][0], size, canvas.scale + 1,
                                     2 * canvas.scale + 2)
        requests.append(_Request(owner, text, color, candidates))
    for v in verdicts:  # above every box
        ax, ay = canvas.xy(*v.anchor)
        if not (0 <= ax <= width and 0 <= ay <= height):
            continue
        r = 3 * canvas.scale + 2
        draw.ellipse([ax - r - 1, ay - r - 1, ax + r + 1, ay + r + 1], fill=(0, 0, 0, 255))
        draw.ellipse([ax - r, ay - r, ax + r, ay + r], fill=VERDICT_COLORS[v.outcome] + (255,))
        anchors.append(_pixel_rect(ax - r - 1, ay - r - 1, ax + r + 1, ay + r + 1))
    return requests, anchors, boxes


# A legend entry: kind is the swatch ("fill", "hatch", "overlap", a verdict
# outcome, ("marker", number), or None for none), color the text's colour,
# owner the region or box of a label moved into the legend (else None).
_Entry = collections.namedtuple("_Entry", "kind text color owner")


def _legend_entries(frame_size, image_size, anchor_pt, regions, verdicts):
    RoiData = zone_warden.RoiData
    entries = [("fill", "include region"), ("hatch", "exclusion region"),
               ("overlap", "part an exclusion cuts out")]
    if verdicts:
        counts = collections.Counter(v.outcome for v in verdicts)
        entries += [("kept", "kept (%d)" % counts["kept"]),
                    ("dropped", "dropped (%d)" % counts["dropped"])]
        if counts["passed"]:
            entries.append(("passed", "passed unmatched (%d)" % counts["passed"]))
        entries.append((None, "anchor (%g, %g) of the box" % tuple(anchor_pt)))
    frame = "frame %dx%d" % tuple(frame_size)
    if tuple(image_size) != tuple(frame_size):
        frame += " (drawn at %dx%d)" % tuple(image_size)
    entries.append((None, frame))
    empty = [r for r in regions if not len(r[RoiData.POINTS_KEY])]
    if empty:
        entries.append((None, "empty region %s: unmatched boxes pass" % _region_name(empty[-1])))
    return [_Entry(kind, text, TEXT_COLOR, None) for kind, text in entries]


def _wrap(text, width, text_width):
    """``text`` in lines no wider than ``width``: broken at spaces where it
    can be, else within words (a line keeps at least one character)."""
    if text_width(text) <= width:
        return [text]
    lines = []
    for word in text.split(" "):
        if lines and text_width(lines[-1] + " " + word) <= width:
            lines[-1] += " " + word
            continue
        while len(word) > 1 and text_width(word) > width:
            cut = 1
            while cut < len(word) - 1 and text_width(word[:cut + 1]) <= width:
                cut += 1
            lines.append(word[:cut])
            word = word[cut:]
        lines.append(word)
    return lines


def _draw_legend(canvas, entries):
    """Lays the entries out left to right in a strip below the frame, on as
    many rows as it takes, an entry's text wrapped onto more lines when it is
    wider than the strip; returns the picture with the strip and a Label per
    entry."""
    width, height = canvas.size
    measure = canvas.measurer
    gap = 6 * canvas.scale + 4
    line_top, line_bottom = canvas.line
    line_h = line_bottom - line_top + 1
    sw = max(3 * canvas.scale + 10, line_bottom)  # swatch side

    def text_width(text):
        return measure.textbbox((0, 0), text, font=canvas.font)[2]

    placed, x, y, row_h = [], gap, gap, 0
    for entry in entries:
        if isinstance(entry.kind, tuple):  # a marker's tag is its swatch
            swatch = canvas.measure(entry.kind[1])[0]
        else:
            swatch = (sw + 1, sw + 1) if entry.kind else (0, 0)
        indent = swatch[0] + gap // 2 if entry.kind else 0
        lines = _wrap(entry.text, width - 2 * gap - indent, text_width)
        w = indent + max(text_width(line) for line in lines)
        h = max(swatch[1], len(lines) * line_h)
        if x > gap and x + w > width - gap:
            x, y, row_h = gap, y + row_h + gap, 0
        placed.append((x, y, w, h, swatch, indent, lines, entry))
        x, row_h = x + w + 2 * gap, max(row_h, h)
    panel_h = y + row_h + gap
    out = canvas.Image.new("RGBA", (width, height + panel_h), PANEL_COLOR + (255,))
    out.paste(canvas.base, (0, 0))
    draw = canvas.ImageDraw.Draw(out)
    labels = []
    for x, y, w, h, swatch, indent, lines, entry in placed:
        top = height + y
        box = [x, top, x + sw, top + sw]
        kind = entry.kind
        if isinstance(kind, tuple):
            canvas.tag(draw, (x, top, x + swatch[0], top + swatch[1]), kind[1], entry.color)
        elif kind == "fill":
            draw.rectangle(box, fill=INCLUDE_PALETTE[0], outline=INCLUDE_PALETTE[0])
        elif kind == "hatch":
            sample = canvas.Image.new("RGBA", (sw + 1, sw + 1), PANEL_COLOR + (255,))
            lines_draw = canvas.ImageDraw.Draw(sample)
            for c in range(-sw, sw, 5):
                lines_draw.line([(c, 0), (c + sw, sw)], fill=EXCLUSION_COLOR)
            lines_draw.rectangle([0, 0, sw, sw], outline=EXCLUSION_COLOR)
            out.paste(sample, (x, top))
        elif kind == "overlap":
            draw.rectangle(box, outline=OVERLAP_COLOR, width=2)
        elif kind in VERDICT_COLORS:
            draw.ellipse(box, fill=VERDICT_COLORS[kind], outline=(0, 0, 0))
        text_top = top + (h - len(lines) * line_h) // 2 - line_top
        for n, line in enumerate(lines):
            draw.text((x + indent, text_top + n * line_h), line, fill=entry.color,
                      font=canvas.font)
        labels.append(Label(entry.text, (x, top, x + w, top + h), entry.owner,
                            "legend"))
    return out.convert("RGB"), labels


def render(regions, frame_size=None, boxes=(), anchor_pt=(0.5, 0.5), background=None):
    """Draw ``regions`` (region records) and the verdicts of
    ``filter_in_roi`` on ``boxes`` (entries as in a detections file).

    ``frame_size`` (width, height) is the frame the filter is told about; it
    defaults to the background's size, else to 1920x1080.  ``background``
    is a Pillow image (a camera snapshot) or None for a blank frame.  The
    caller's records are not changed: the filter works on copies.  A blank
    frame larger than MAX_BLANK_SIDE is drawn scaled down.
    Returns a Picture; raises RegionError when ZoneWarden cannot be built
    from the records.
    """
    modules = _pil()
    Image = modules[0]
    if frame_size is None:
        frame_size = background.size if background is not None else DEFAULT_FRAME_SIZE
    frame_size = (int(frame_size[0]), int(frame_size[1]))
    records = [dict(r) for r in regions]
    try:
        warden = zone_warden.ZoneWarden(records, frame_sz=list(frame_size))
    except Exception as e:  # the geometry library refusing a polygon, say
        raise RegionError(str(e) or type(e).__name__)
    verdicts = verdicts_for(warden, boxes, frame_size, anchor_pt)
    notes = region_notes(records, warden) if records else []
    if background is None:
        shrink = min(1.0, float(MAX_BLANK_SIDE) / max(frame_size))
        size = (max(1, int(frame_size[0] * shrink)), max(1, int(frame_size[1] * shrink)))
        background = Image.new("RGB", size, BLANK_COLOR)
    canvas = _Canvas(modules, background, frame_size)
    requests = _draw_regions(canvas, records, warden)
    box_requests, anchors, box_rects = _draw_verdicts(canvas, verdicts)
    placer = _Placer(canvas.size, anchors, box_rects)
    labels, moved = _place_labels(canvas, requests + box_requests, placer)
    entries = _legend_entries(frame_size, canvas.size, anchor_pt, records, verdicts)
    image, legend = _draw_legend(canvas, entries + moved)
    return Picture(image, verdicts, frame_size, notes, labels + legend)


def describe(verdict):
    """One line about a verdict, as the command prints it."""
    x, y, w, h = verdict.box
    head = "%s %s [%g, %g, %g, %g] anchor (%.4f, %.4f): %s" % (
        verdict.label, verdict.kind, x, y, w, h, verdict.anchor[0], verdict.anchor[1],
        verdict.outcome)
    if verdict.outcome == "kept":
        return "%s in %s" % (head, ", ".join("%s (%s)" % (n, i) for n, i in
                                             zip(verdict.roi_names, verdict.roi_ids)))
    return "%s: %s" % (head, verdict.reason)


# --- the command ---------------------------------------------------------------------


def _frame_size(text):
    m = re.match(r"^\s*(\d+)\s*[xX]\s*(\d+)\s*$", text)
    if not m or int(m.group(1)) < 1 or int(m.group(2)) < 1:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT in pixels, e.g. 1920x1080, got %r"
                                         % text)
    return int(m.group(1)), int(m.group(2))


def _anchor_pt(text):
    parts = text.split(",")
    try:
        values = tuple(float(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 2 or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError("expected X,Y as fractions of the box, e.g. 0.5,1.0 "
                                         "for the bottom centre, got %r" % text)
    return values


def build_parser():
    p = argparse.ArgumentParser(
        prog="python -m ombrix_sdk.roi.show",
        description="Draw a region set over a camera snapshot (or a blank frame) and, with "
                    "--detections, what ZoneWarden.filter_in_roi keeps of a frame's boxes "
                    "and why the others were dropped.  Needs Pillow: " + INSTALL_HINT + ".")
    p.add_argument("regions", metavar="REGIONS.json",
                   help='list of region records {"roi_id": ..., "label": ..., "include": '
                        'true|false, "points": [[x, y], ...]}, x and y as fractions of the frame')
    p.add_argument("--image", metavar="SNAPSHOT",
                   help="camera snapshot to draw on (any format Pillow reads)")
    p.add_argument("--frame-size", type=_frame_size, metavar="WxH",
                   help="frame size in pixels, as the filter is told (default: the "
                        "snapshot's size, else 1920x1080)")
    p.add_argument("--detections", metavar="DETS.json",
                   help='list of boxes [x, y, w, h] (pixels or fractions) or tracks '
                        '{"tlwh": [x, y, w, h], "info": {...}}')
    p.add_argument("--anchor", type=_anchor_pt, default=(0.5, 0.5), metavar="X,Y",
                   help="anchor point in fractions of the box: 0.5,0.5 the centre (default), "
                        "0.5,1 the bottom centre")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                   help="picture to write (PNG, or another format by its suffix)")
    return p


def _open_image(path):
    Image = _pil()[0]
    try:
        image = Image.open(path)
        image.load()
        return image.convert("RGB")
    except Exception as e:  # missing, not an image, truncated, too large
        raise InputError("cannot read the image %s: %s" % (path, e))


def run(args, out=None):
    out = out or sys.stdout
    regions = load_regions(args.regions)
    boxes = load_boxes(args.detections) if args.detections else []
    _pil()
    background = _open_image(args.image) if args.image else None
    try:
        picture = render(regions, args.frame_size, boxes, args.anchor, background)
    except RegionError as e:
        raise InputError("the region filter cannot use the regions of %s: %s"
                         % (args.regions, e))
    try:
        picture.image.save(args.output)
    except (OSError, ValueError) as e:
        raise InputError("cannot write %s: %s" % (args.output, e))
    for note in picture.notes:
        print("note: " + note, file=out)
    for verdict in picture.verdicts:
        print(describe(verdict), file=out)
    counts = collections.Counter(v.outcome for v in picture.verdicts)
    print("wrote %s (%dx%d; frame %dx%d, %d boxes: %d kept, %d dropped, %d passed unmatched)"
          % ((args.output,) + picture.image.size + picture.frame_size
             + (len(picture.verdicts), counts["kept"], counts["dropped"], counts["passed"])),
          file=out)
    out.flush()
    return 0


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return run(args)
    except InputError as e:
        sys.stdout.flush()
        print("error: %s" % e, file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
