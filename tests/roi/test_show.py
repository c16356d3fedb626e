"""python -m ombrix_sdk.roi.show: verdicts from the real filter, pixels where
they must be, error lines for bad inputs."""
import json
import random
import subprocess
import sys

import pytest

from ombrix_sdk.roi import show
from ombrix_sdk.roi.zone_warden import RoiData, ZoneWarden


def region(rid, label, include, x0, y0, x1, y1):
    return {RoiData.ROI_ID_KEY: rid, RoiData.ROI_LABEL_KEY: label, RoiData.INCLUDE_KEY: include,
            RoiData.POINTS_KEY: [[x0, y0], [x1, y0], [x1, y1], [x0, y1]]}


# A: left include region, cut by the exclusion X; B: right include region;
# Y: an exclusion between them that cuts nothing.
SCENE = [
    region("A", "left", True, 0.05, 0.10, 0.50, 0.90),
    region("B", "right", True, 0.60, 0.10, 0.95, 0.90),
    region("X", "hole", False, 0.30, 0.50, 0.45, 0.85),
    region("Y", "gap", False, 0.52, 0.60, 0.58, 0.90),
]
EMPTY = {RoiData.ROI_ID_KEY: "E", RoiData.ROI_LABEL_KEY: "rest", RoiData.INCLUDE_KEY: True,
         RoiData.POINTS_KEY: []}
FRAME = (400, 200)


class Det(object):
    def __init__(self, tlwh):
        self.tlwh = tlwh


class Trk(object):
    def __init__(self, tlwh, info):
        self.tlwh = tlwh
        self.info = info


def copies(regions):
    return json.loads(json.dumps(regions))


def direct_verdicts(regions, boxes, frame, anchor):
    """(outcome, ids, names) per box, from filter_in_roi called here."""
    items = []
    for entry in boxes:
        if isinstance(entry, dict):
            items.append(Trk(tuple(entry["tlwh"]), dict(entry.get("info", {}))))
        else:
            items.append(Det(tuple(entry)))
    kept = ZoneWarden(copies(regions), frame_sz=list(frame)).filter_in_roi(items, list(frame), anchor)
    out = [("dropped", [], [])] * len(items)
    for result in kept:
        if any(result is item for item in items):
            out[[i for i, item in enumerate(items) if item is result][0]] = ("passed", [], [])
            continue
        tags = result.info if isinstance(result, Trk) else vars(result)
        # a copy: it shares tlwh (and info) with exactly one input item
        i = [n for n, item in enumerate(items)
             if item.tlwh is result.tlwh and getattr(item, "info", None) is getattr(result, "info", None)][0]
        out[i] = ("kept", list(tags["roi_id"]), list(tags["roi_name"]))
    return out


def random_boxes(rng, n):
    boxes = []
    for _ in range(n):
        if rng.random() < 0.5:  # pixels
            box = [rng.uniform(-20, 400), rng.uniform(-20, 200), rng.uniform(2, 60), rng.uniform(2, 60)]
        else:
            box = [rng.uniform(-0.05, 1.0), rng.uniform(-0.05, 1.0), rng.uniform(0, 0.2), rng.uniform(0, 0.2)]
        kind = rng.random()
        if kind < 0.2:
            boxes.append({"tlwh": box, "info": {"track_id": len(boxes)}})
        elif kind < 0.3:  # the filter uses the rect, not tlwh
            boxes.append({"tlwh": [0, 0, 0.01, 0.01], "info": {"rect": box}})
        else:
            boxes.append(box)
    return boxes


@pytest.mark.parametrize("anchor", [(0.5, 0.5), (0.5, 1.0), (0.0, 0.0)])
@pytest.mark.parametrize("regions", [SCENE, SCENE + [EMPTY], []], ids=["regions", "with empty", "none"])
def test_verdicts_equal_filter_in_roi(regions, anchor):
    boxes = random_boxes(random.Random(hash(anchor) & 0xFFFF), 300)
    warden = ZoneWarden(copies(regions), frame_sz=list(FRAME))
    verdicts = show.verdicts_for(warden, boxes, FRAME, anchor)
    assert [(v.outcome, v.roi_ids, v.roi_names) for v in verdicts] == \
        direct_verdicts(regions, boxes, FRAME, anchor)
    assert [v.index for v in verdicts] == list(range(len(boxes)))
    outcomes = set(v.outcome for v in verdicts)
    assert outcomes == ({"passed"} if not regions else
                        {"kept", "passed"} if EMPTY in regions else {"kept", "dropped"})


def test_tracks_keep_their_info_and_reasons_name_the_cause():
    boxes = [{"tlwh": [0.35, 0.6, 0.02, 0.02], "info": {"track_id": 3, "roi_id": ["stale"]}},
             [0.7, 0.02, 0.02, 0.02], [150, 90, 20, 20],
             {"tlwh": [0.5, 0.5, 0.1, 0.1], "info": {"rect": [19990, 90, 20, 20]}}]
    warden = ZoneWarden(copies(SCENE), frame_sz=list(FRAME))
    hole, outside, kept, off = show.verdicts_for(warden, boxes, FRAME)
    assert boxes[0]["info"] == {"track_id": 3, "roi_id": ["stale"]}  # caller's mapping untouched
    assert (hole.kind, hole.label, hole.outcome) == ("track", "track 3", "dropped")
    assert hole.reason == "anchor inside left (A), but in its excluded part"
    assert outside.reason == "anchor outside every include region"
    assert (kept.outcome, kept.roi_ids, kept.anchor) == ("kept", ["A"], (0.4, 0.5))
    assert off.reason.startswith("anchor (50, 0.5) is outside the frame (a pixel box")


@pytest.mark.parametrize("entry, box, anchor", [
    # a track's info "rect" is the box the filter uses, not tlwh
    ({"tlwh": [0, 0, 0.1, 0.1], "info": {"rect": [0.3, 0.2, 0.2, 0.4]}}, (0.3, 0.2, 0.2, 0.4),
     (0.4, 0.6)),
    # only a box wider and taller than 1 is in pixels
    ([100, 100, 1, 20], (100, 100, 1, 20), (100.5, 120)),
    ([100, 100, 20, 1], (100, 100, 20, 1), (110, 101)),
    ([100, 100, 20, 20], (100, 100, 20, 20), (0.275, 0.6)),
])
def test_the_box_and_anchor_shown_are_the_filters(entry, box, anchor):
    warden = ZoneWarden(copies(SCENE), frame_sz=list(FRAME))
    verdict, = show.verdicts_for(warden, [entry], FRAME, (0.5, 1.0))
    assert verdict.box == box and verdict.anchor == pytest.approx(anchor, abs=1e-12)


@pytest.fixture
def pil():
    return pytest.importorskip("PIL.Image")


def near(pixel, color, tol=2):
    return all(abs(a - b) <= tol for a, b in zip(pixel, color))


def window(image, x, y, r):
    return [image.getpixel((i, j)) for i in range(x - r, x + r + 1) for j in range(y - r, y + r + 1)]


def test_pixels_where_regions_and_verdicts_are(pil):
    # kept in A, dropped in the hole X, dropped outside, kept in B (pixels)
    boxes = [[0.10, 0.70, 0.04, 0.04], [0.40, 0.80, 0.02, 0.02], [0.53, 0.20, 0.02, 0.04],
             [300, 100, 20, 40]]
    picture = show.render(SCENE, FRAME, boxes)
    image = picture.image
    w, h = FRAME
    assert image.size[0] == w and image.size[1] > h  # the legend strip is below the frame
    assert [v.outcome for v in picture.verdicts] == ["kept", "dropped", "dropped", "kept"]
    for v in picture.verdicts:
        anchor = (int(v.anchor[0] * w), int(v.anchor[1] * h))
        assert image.getpixel(anchor) == show.VERDICT_COLORS[v.outcome], v
    assert picture.verdicts[3].anchor == (0.775, 0.6)
    # outside every region: the blank frame
    assert image.getpixel((int(0.02 * w), int(0.5 * h))) == show.BLANK_COLOR
    # inside A, away from labels, boxes and X: the translucent fill
    a = show.INCLUDE_FILL_ALPHA / 255.0
    fill = tuple(int(round(b + (c - b) * a)) for b, c in zip(show.BLANK_COLOR, show.INCLUDE_PALETTE[0]))
    assert near(image.getpixel((int(0.2 * w), int(0.45 * h))), fill)
    # inside X: hatch lines over the fill, both present in a small window
    hatch = window(image, int(0.37 * w), int(0.62 * h), 6)
    assert show.EXCLUSION_COLOR in hatch
    assert any(near(p, fill) for p in hatch)
    # X's overlap with A is outlined; Y cuts nothing, so no outline at its edge
    assert show.OVERLAP_COLOR in window(image, int(0.45 * w), int(0.7 * h), 2)
    y_edge = window(image, int(0.52 * w), int(0.8 * h), 2)
    assert show.OVERLAP_COLOR not in y_edge and show.EXCLUSION_COLOR in y_edge
    assert "exclusion gap (Y) overlaps no include region: it excludes nothing" in picture.notes
    assert "exclusion hole (X) cuts left (A)" in picture.notes


def test_a_huge_blank_frame_is_drawn_scaled_down(pil, monkeypatch):
    monkeypatch.setattr(show, "MAX_BLANK_SIDE", 200)
    picture = show.render(SCENE, (4000, 2000), [[3000, 1000, 400, 800]])
    assert picture.image.size[0] == 200 and picture.frame_size == (4000, 2000)
    assert picture.verdicts[0].anchor == (0.8, 0.7)
    assert picture.image.getpixel((160, 70)) == show.VERDICT_COLORS["kept"]


def run_show(args, cwd, code=None):
    if code is None:
        cmd = [sys.executable, "-m", "ombrix_sdk.roi.show"] + [str(a) for a in args]
    else:
        cmd = [sys.executable, "-c", code]
    return subprocess.run(cmd, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def test_command_on_a_snapshot_of_another_size(tmp_path, pil):
    snapshot = tmp_path / "cam.png"
    pil.new("RGB", (200, 100), (10, 90, 30)).save(str(snapshot))
    (tmp_path / "regions.json").write_text(json.dumps({"regions": SCENE}))
    # pixel boxes of a 400x200 frame, drawn on the 200x100 snapshot
    (tmp_path / "dets.json").write_text(json.dumps(
        [[30, 120, 20, 20], {"tlwh": [300, 100, 20, 40], "info": {"track_id": 7}}]))
    proc = run_show(["regions.json", "--image", snapshot, "--frame-size", "400x200",
                     "--detections", "dets.json", "--anchor", "0.5,1", "-o", "out.png"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "#1 detection [30, 120, 20, 20] anchor (0.1000, 0.7000): kept in left (A)" in lines
    assert ("track 7 track [300, 100, 20, 40] anchor (0.7750, 0.7000): kept in right (B)"
            in lines)
    assert lines[-1].startswith("wrote out.png (200x")
    assert lines[-1].endswith("frame 400x200, 2 boxes: 2 kept, 0 dropped, 0 passed unmatched)")
    image = pil.open(str(tmp_path / "out.png")).convert("RGB")
    assert image.getpixel((20, 70)) == image.getpixel((155, 70)) == show.VERDICT_COLORS["kept"]
    assert image.getpixel((1, 50)) == (10, 90, 30)  # the snapshot, outside every region


def test_without_pillow_the_command_says_how_to_install_it(tmp_path):
    (tmp_path / "regions.json").write_text(json.dumps(SCENE))
    code = ("import sys; sys.modules['PIL'] = None\n"
            "from ombrix_sdk.roi.show import main\n"
            "raise SystemExit(main(['regions.json', '-o', 'out.png']))")
    proc = run_show(None, tmp_path, code)
    assert proc.returncode == 1
    assert proc.stderr == ('error: drawing needs Pillow, which is not installed; install it '
                           'with pip install "ombrix-sdk[viz]" (or pip install Pillow)\n')
    assert not (tmp_path / "out.png").exists()


GOOD_REGIONS = json.dumps(SCENE)


@pytest.mark.parametrize("regions, dets, message", [
    (None, None, "error: cannot read the regions file regions.json: No such file or directory"),
    ("{not json", None, "error: the regions file regions.json is not valid JSON: "),
    ('{"include": true, "points": []}', None, "error: regions.json must hold a JSON list"),
    ('[{"include": true}]', None, 'error: region 1 of regions.json has no "points" entry'),
    ('[{"label": "a", "points": []}]', None, 'error: region 1 of regions.json has no "include" entry'),
    ('[{"include": true, "points": [[0, 0], [1, 0]]}]', None,
     "error: region 1 of regions.json: a polygon needs at least 3 points"),
    ('[{"include": true, "points": [[0, 0], [1, "a"], [1, 1]]}]', None,
     'error: region 1 of regions.json: "points" must be a list of [x, y] number pairs'),
    (GOOD_REGIONS, "[[1, 2, 3]", "error: the detections file dets.json is not valid JSON: "),
    (GOOD_REGIONS, "[[1, 2, 3]]", "error: box 1 of dets.json: expected [x, y, w, h]"),
    (GOOD_REGIONS, '[{"tlwh": [0, 0, 1, 1], "info": {"rect": [1]}}]',
     'error: box 1 of dets.json: its info "rect" must be [x, y, w, h]'),
    (GOOD_REGIONS, "[[0, 0, NaN, 1]]", "error: box 1 of dets.json: expected"),
])
def test_bad_inputs_give_one_error_line(tmp_path, regions, dets, message):
    if regions is not None:
        (tmp_path / "regions.json").write_text(regions)
    args = ["regions.json", "-o", "out.png"]
    if dets is not None:
        (tmp_path / "dets.json").write_text(dets)
        args += ["--detections", "dets.json"]
    proc = run_show(args, tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.startswith(message) and proc.stderr.count("\n") == 1, proc.stderr
    assert not (tmp_path / "out.png").exists()


@pytest.mark.parametrize("image", [b"not an image", b"\x89PNG\r\n\x1a\n" + b"\0" * 20, None])
def test_unreadable_image_gives_an_error_line(tmp_path, pil, image):
    (tmp_path / "regions.json").write_text(GOOD_REGIONS)
    if image is not None:
        (tmp_path / "snap.png").write_bytes(image)
    proc = run_show(["regions.json", "--image", "snap.png", "-o", "out.png"], tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.startswith("error: cannot read the image snap.png: ")
    assert proc.stderr.count("\n") == 1 and not (tmp_path / "out.png").exists()


def test_pixel_regions_and_a_geometry_the_filter_refuses(tmp_path, pil):
    pixel_region = region("P", "door", True, 100, 50, 300, 150)
    bow_tie = {"include": True, "points": [[0.1, 0.1], [0.9, 0.9], [0.9, 0.1], [0.1, 0.9]]}
    (tmp_path / "pixels.json").write_text(json.dumps([pixel_region]))
    (tmp_path / "bowtie.json").write_text(json.dumps([bow_tie, SCENE[2]]))
    proc = run_show(["pixels.json", "-o", "out.png"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert ("note: region door (P) has vertices outside 0..1: region points are fractions "
            "of the frame (x right, y down), not pixels") in proc.stdout
    proc = run_show(["bowtie.json", "-o", "out2.png"], tmp_path)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith("error: the region filter cannot use the regions of bowtie.json: ")


@pytest.mark.parametrize("args", [["--frame-size", "0x5"], ["--anchor", "0.5"],
                                  ["--anchor", "a,b"], []])
def test_bad_options_are_usage_errors(tmp_path, args):
    proc = run_show(["regions.json"] + args + (["-o", "out.png"] if args else []), tmp_path)
    assert proc.returncode == 2
    assert "usage: python -m ombrix_sdk.roi.show" in proc.stderr


# --- labels ----------------------------------------------------------------------

DEMO_REGIONS = [
    region("r-entrance", "entrance", True, 0.05, 0.50, 0.45, 0.95),
    region("r-parking", "parking", True, 0.40, 0.10, 0.95, 0.65),
    region("r-pillar", "pillar", False, 0.60, 0.25, 0.75, 0.45),
]
# Two boxes close together, one under parking's label, one inside the
# pillar, one at the right edge: labels that used to collide or be cut off.
SIX_BOXES = [[80, 250, 30, 40], [262, 48, 30, 40], [300, 150, 30, 40], [318, 162, 30, 40],
             [600, 250, 35, 40], [405, 100, 25, 30]]


def crowded_scene(kind, rng):
    """(regions, frame size, boxes) of a crowded scene."""
    frame = (640, 360)
    name = (lambda: "zone") if kind != "long names" else (
        lambda: "-".join("northwest loading bay" for _ in range(rng.randint(1, 5))))
    regions = []
    for n in range(rng.randint(2, 5)):
        x, y = rng.uniform(-0.1, 0.8), rng.uniform(-0.1, 0.8)
        regions.append(region("r%d" % n, name(), rng.random() < 0.7, x, y,
                              x + rng.uniform(0.1, 0.5), y + rng.uniform(0.1, 0.5)))
    if kind in ("scaled", "small"):
        frame = (3840, 2160) if kind == "scaled" else (160, 90)
    if kind in ("close", "scaled", "small"):  # many boxes around two spots
        spots = [(rng.uniform(0.2, 0.8), rng.uniform(0.2, 0.8)) for _ in range(2)]
        fractions = [(rng.gauss(sx, 0.04), rng.gauss(sy, 0.04), rng.uniform(0.02, 0.06),
                      rng.uniform(0.03, 0.1)) for sx, sy in spots for _ in range(15)]
    else:  # boxes at every edge and corner, partly outside, and some anywhere
        fractions = [(fx - rng.uniform(0, w), fy - rng.uniform(0, h), w, h)
                     for fx in (0.0, 0.5, 1.0) for fy in (0.0, 0.5, 1.0)
                     for w, h in [(rng.uniform(0.02, 0.15), rng.uniform(0.02, 0.2))]]
        fractions += [(rng.random(), rng.random(), 0.05, 0.08) for _ in range(8)]
    boxes = []
    for fx, fy, fw, fh in fractions:
        box = [fx * frame[0], fy * frame[1], fw * frame[0], fh * frame[1]]
        if rng.random() < 0.3:
            boxes.append({"tlwh": box, "info": {"track_id": name() if rng.random() < 0.5
                                                else rng.randint(1, 10 ** 6)}})
        else:
            boxes.append(box if rng.random() < 0.7 else [fx, fy, fw, fh])
    return regions, frame, boxes


def check_labels(picture, regions, boxes, frame):
    """Every label of the picture: inside it, clear of every other label and
    of every anchor, drawn where it says; every region and box labelled once
    in the frame, by its text or by a marker whose text is in the legend (or
    where not even a marker has room, in the legend alone)."""
    image, labels = picture.image, picture.labels
    anchors = [(v.anchor[0] * frame[0], v.anchor[1] * frame[1]) for v in picture.verdicts]
    anchors = [(x, y) for x, y in anchors if 0 <= x <= frame[0] and 0 <= y <= frame[1]]
    for n, a in enumerate(labels):
        assert 0 <= a.rect[0] < a.rect[2] <= image.size[0], a
        assert 0 <= a.rect[1] < a.rect[3] <= image.size[1], a
        assert (a.rect[1] >= frame[1]) == (a.where == "legend"), a
        for b in labels[n + 1:]:
            assert not show._overlap(a.rect, b.rect), (a, b)
        for ax, ay in anchors:
            assert not (a.rect[0] - 1 <= ax <= a.rect[2] and a.rect[1] - 1 <= ay <= a.rect[3]), a
    owners = [("region", n) for n, r in enumerate(regions) if r[RoiData.POINTS_KEY]]
    owners += [("box", n) for n in range(len(boxes))]
    in_frame = [a for a in labels if a.where != "legend"]
    no_room = [a.owner for a in labels if a.text.endswith(" (no room in the frame)")]
    assert sorted([a.owner for a in in_frame] + no_room) == sorted(owners)
    markers = [a for a in in_frame if a.where == "marker"]
    assert [a.text for a in markers] == [str(n + 1) for n in range(len(markers))]
    moved = [a.owner for a in labels if a.where == "legend" and a.owner]
    assert sorted(moved) == sorted([a.owner for a in markers] + no_room)
    texts = dict((a.owner, a.text) for a in labels if a.owner and a.where != "marker")
    assert all(texts[("box", v.index)].startswith("%s %s" % (v.label, v.outcome))
               for v in picture.verdicts)
    assert all(show._region_name(regions[n]) in texts[(kind, n)]
               for kind, n in owners if kind == "region")
    for a in in_frame:  # the tag is drawn exactly there, and nothing over it
        x0, y0, x1, y1 = a.rect
        ring = [(x, y) for x in range(x0, x1) for y in (y0, y1 - 1)]
        ring += [(x, y) for y in range(y0, y1) for x in (x0, x1 - 1)]
        assert set(image.getpixel(p) for p in ring) == {(0, 0, 0)}, a
        inner = [image.getpixel((x, y)) for x in range(x0 + 1, x1 - 1)
                 for y in range(y0 + 1, y1 - 1)]
        assert any(p != (0, 0, 0) for p in inner), a
    return [a.where for a in in_frame]


def test_labels_of_the_six_box_scene_all_sit_beside_their_boxes(pil):
    picture = show.render(DEMO_REGIONS, (640, 360), SIX_BOXES)
    wheres = check_labels(picture, DEMO_REGIONS, SIX_BOXES, (640, 360))
    assert "marker" not in wheres


@pytest.mark.parametrize("kind", ["close", "edges", "long names", "scaled", "small"])
def test_labels_never_collide_in_crowded_scenes(pil, monkeypatch, kind):
    monkeypatch.setattr(show, "MAX_BLANK_SIDE", 640)  # 3840x2160 is drawn at 640x360
    wheres = set()
    for seed in range(6):
        regions, frame, boxes = crowded_scene(kind, random.Random("%s %d" % (kind, seed)))
        picture = show.render(regions, frame, boxes)
        drawn = (640, 360) if kind == "scaled" else frame
        wheres.update(check_labels(picture, regions, boxes, drawn))
    assert "marker" in wheres and len(wheres) > 2, wheres
