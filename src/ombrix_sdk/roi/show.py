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
of the real filter; this module only draws them.  A legend and the frame
size are drawn in a strip below the frame, and one line per box goes to
stdout.

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

Picture = collections.namedtuple("Picture", "image verdicts frame_size notes")
Picture.__doc__ = """The rendered picture (a Pillow RGB image of the frame
plus the legend strip below it), the verdicts in input order, the frame size
(width, height) the filter used, and notes about suspicious input."""


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

    def text(self, xy, text, color, draw=None):
        draw = draw or self.ImageDraw.Draw(self.base)
        left, top, right, bottom = draw.textbbox(xy, text, font=self.font)
        pad = self.scale + 1
        draw.rectangle([left - pad, top - pad, right + pad, bottom + pad], fill=(0, 0, 0, 255))
        draw.text(xy, text, fill=color + (255,), font=self.font)
        return right - left, bottom - top


def _region_polygon(canvas, record):
    return [canvas.xy(float(x), float(y)) for x, y in record[zone_warden.RoiData.POINTS_KEY]]


def _label_spot(polygon):
    """Just inside the top-left vertex of a region."""
    x, y = min(polygon, key=lambda p: (p[1], p[0]))
    return (x + 4, y + 4)


def _draw_regions(canvas, regions, warden):
    RoiData = zone_warden.RoiData
    includes = [r for r in regions if r[RoiData.INCLUDE_KEY] and len(r[RoiData.POINTS_KEY])]
    exclusions = [r for r in regions if not r[RoiData.INCLUDE_KEY] and len(r[RoiData.POINTS_KEY])]
    colors = {}
    for n, record in enumerate(includes):
        colors[id(record)] = INCLUDE_PALETTE[n % len(INCLUDE_PALETTE)]
        canvas.fill(_region_polygon(canvas, record), colors[id(record)], INCLUDE_FILL_ALPHA)
    for record in exclusions:
        canvas.hatch(_region_polygon(canvas, record), EXCLUSION_COLOR)
    for record in includes:
        for overlap in warden._exclusion_intersections.get(id(record), []):
            for ring in _rings(overlap):
                canvas.outline([canvas.xy(x, y) for x, y in ring], OVERLAP_COLOR,
                               2 * canvas.scale)
    for record in includes:
        canvas.text(_label_spot(_region_polygon(canvas, record)), _region_name(record),
                    colors[id(record)])
    for record in exclusions:
        canvas.text(_label_spot(_region_polygon(canvas, record)),
                    "excluded: " + _region_name(record), EXCLUSION_COLOR)


def _draw_verdicts(canvas, verdicts):
    draw = canvas.ImageDraw.Draw(canvas.base)
    fw, fh = canvas.frame_px
    width, height = canvas.size
    for v in verdicts:
        color = VERDICT_COLORS[v.outcome]
        x, y, w, h = v.box
        if w > 1.0 and h > 1.0:  # pixels of the frame the filter was told about
            x, y, w, h = x / fw, y / fh, w / fw, h / fh
        box = [canvas.xy(x, y), canvas.xy(x + w, y + h)]
        box = [(min(box[0][0], box[1][0]), min(box[0][1], box[1][1])),
               (max(box[0][0], box[1][0]), max(box[0][1], box[1][1]))]
        draw.rectangle(box, outline=color + (255,), width=canvas.scale + 1)
        if v.outcome == "kept":
            text = "%s kept: %s" % (v.label, ", ".join(str(n) for n in v.roi_names))
        else:
            text = "%s %s" % (v.label, v.outcome)
        text_h = draw.textbbox((0, 0), text, font=canvas.font)[3]
        ty = box[0][1] - text_h - 2 * canvas.scale - 2  # above the box, else inside it
        if ty < 0:
            ty = box[0][1] + 2 * canvas.scale + 2
        canvas.text((max(0, box[0][0]), max(0, ty)), text, color, draw)
    for v in verdicts:  # anchors last, above every label
        ax, ay = canvas.xy(*v.anchor)
        if not (0 <= ax <= width and 0 <= ay <= height):
            continue
        r = 3 * canvas.scale + 2
        draw.ellipse([ax - r - 1, ay - r - 1, ax + r + 1, ay + r + 1], fill=(0, 0, 0, 255))
        draw.ellipse([ax - r, ay - r, ax + r, ay + r], fill=VERDICT_COLORS[v.outcome] + (255,))


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
    return entries


def _draw_legend(canvas, entries):
    """Lays the entries out left to right in a strip below the frame, on as
    many rows as it takes, and returns the picture with the strip."""
    width, height = canvas.size
    measure = canvas.ImageDraw.Draw(canvas.Image.new("RGBA", (1, 1)))
    gap = 6 * canvas.scale + 4
    text_h = measure.textbbox((0, 0), "Ag", font=canvas.font)[3]
    sw = max(3 * canvas.scale + 10, text_h)  # swatch side
    row_h = sw + gap
    spots, x, y = [], gap, gap
    for kind, text in entries:
        w = measure.textbbox((0, 0), text, font=canvas.font)[2] + (sw + gap // 2 if kind else 0)
        if x > gap and x + w > width - gap:
            x, y = gap, y + row_h
        spots.append((x, y, kind, text))
        x += w + 2 * gap
    panel_h = y + row_h
    out = canvas.Image.new("RGBA", (width, height + panel_h), PANEL_COLOR + (255,))
    out.paste(canvas.base, (0, 0))
    draw = canvas.ImageDraw.Draw(out)
    for x, y, kind, text in spots:
        top = height + y
        box = [x, top, x + sw, top + sw]
        if kind == "fill":
            draw.rectangle(box, fill=INCLUDE_PALETTE[0], outline=INCLUDE_PALETTE[0])
        elif kind == "hatch":
            swatch = canvas.Image.new("RGBA", (sw + 1, sw + 1), PANEL_COLOR + (255,))
            lines = canvas.ImageDraw.Draw(swatch)
            for c in range(-sw, sw, 5):
                lines.line([(c, 0), (c + sw, sw)], fill=EXCLUSION_COLOR)
            lines.rectangle([0, 0, sw, sw], outline=EXCLUSION_COLOR)
            out.paste(swatch, (x, top))
        elif kind == "overlap":
            draw.rectangle(box, outline=OVERLAP_COLOR, width=2)
        elif kind in VERDICT_COLORS:
            draw.ellipse(box, fill=VERDICT_COLORS[kind], outline=(0, 0, 0))
        tx = x + sw + gap // 2 if kind else x
        draw.text((tx, top), text, fill=TEXT_COLOR, font=canvas.font)
    return out.convert("RGB")


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
    _draw_regions(canvas, records, warden)
    _draw_verdicts(canvas, verdicts)
    entries = _legend_entries(frame_size, canvas.size, anchor_pt, records, verdicts)
    return Picture(_draw_legend(canvas, entries), verdicts, frame_size, notes)


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
