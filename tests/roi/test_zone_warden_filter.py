"""Filtering the items of a frame: ZoneWarden.filter_in_roi and its hooks."""

import copy

import pytest
from shapely.geometry import Point

import ombrix_sdk.roi.zone_warden as zw
from ombrix_sdk.constants import KEY
from ombrix_sdk.roi.zone_warden import ZoneWarden

from zone_warden_support import (CORNER, INNER, OUTER, CopyHookDet, Det, PropertyDet,
                                 ReferenceWarden, SlotDet, Track, region, square, tags_of)

IN = (0.45, 0.45, 0.1, 0.1)     # centre (0.5, 0.5)
OUT = (0, 0, 0.1, 0.1)          # centre (0.05, 0.05)


def layout(name):
    """The region sets of the examples, freshly built."""
    return {
        "none": None,
        "one empty": [region([])],
        "two empty": [region([]), region([])],
        "exclusions": [region(OUTER, include=False), region(CORNER, include=False)],
        "exclusions + empty exclusion": [region(OUTER, include=False), region([], include=False)],
        "outer": [region(OUTER, label="zone1", roi_id="abc123")],
        "outer - inner": [region(OUTER, label="zone1", roi_id="abc123"),
                          region(INNER, include=False, label="excl", roi_id="excl1")],
        "outer + corner": [region(OUTER, label="zone1", roi_id="id1"),
                           region(CORNER, label="zone2", roi_id="id2")],
        "overlapping": [region(square(0.1, 0.1, 0.6, 0.6), label="z1", roi_id="r1"),
                        region(square(0.4, 0.4, 0.9, 0.9), label="z2", roi_id="r2")],
        "outer + everywhere": [region(OUTER, label="zone1", roi_id="id1"),
                               region([], label="everywhere", roi_id="idE")],
    }[name]


# (layout, [(box, anchor)], expected per item: None dropped, "same" returned
# itself, (ids, names) a tagged copy)
CASES = [
    ("one empty", [(IN, None), (OUT, None)], ["same", "same"]),
    ("two empty", [(IN, None), (OUT, None)], ["same", "same"]),
    ("exclusions", [(IN, None), (OUT, None), ((0.9, 0.9, 0.02, 0.02), None)], [None, None, None]),
    ("exclusions + empty exclusion", [(IN, None), (OUT, None)], ["same", "same"]),
    ("outer", [(IN, None)], [(["abc123"], ["zone1"])]),
    ("outer", [(OUT, None)], [None]),
    ("outer", [(IN, None), (OUT, None)], [(["abc123"], ["zone1"]), None]),
    ("outer - inner", [((0.25, 0.25, 0.1, 0.1), None)], [(["abc123"], ["zone1"])]),
    ("outer - inner", [((0.45, 0.45, 0.06, 0.06), None)], [None]),
    ("outer - inner", [(OUT, None)], [None]),
    ("outer + corner", [(IN, None), ((0.88, 0.88, 0.06, 0.06), None), (OUT, None)],
     [(["id1"], ["zone1"]), (["id2"], ["zone2"]), None]),
    ("overlapping", [(IN, None)], [(["r1", "r2"], ["z1", "z2"])]),
    ("outer + everywhere", [(IN, None), (OUT, None)], [(["id1"], ["zone1"]), "same"]),
    ("outer", [((0.25, 0.25, 0.1, 0.1), (0.0, 0.0))], [(["abc123"], ["zone1"])]),
    ("outer", [((0.7, 0.7, 0.15, 0.15), (1.0, 1.0))], [None]),
    ("outer", [((0.1, 0.1, 0.5, 0.5), (1.0, 1.0))], [(["abc123"], ["zone1"])]),
]


def run_case(name, boxes, kind):
    w = ZoneWarden(layout(name))
    results = []
    items = []
    for box, anchor in boxes:
        item = Det(box) if kind == "det" else Track(box)
        items.append(item)
        args = (None, anchor) if anchor is not None else ()
        results.append(w.filter_in_roi([item], *args))
    return items, results


@pytest.mark.parametrize("kind", ["det", "track"])
@pytest.mark.parametrize("name, boxes, expected", CASES)
def test_examples_item_by_item(name, boxes, expected, kind, recorder):
    items, results = run_case(name, boxes, kind)
    for item, result, want in zip(items, results, expected):
        if want is None:
            assert result == []
        elif want == "same":
            assert len(result) == 1 and result[0] is item
            assert tags_of(item) is None
        else:
            (element,) = result
            assert element is not item and type(element) is type(item)
            assert element.tlwh is item.tlwh
            assert tags_of(element) == want
            if kind == "det":
                assert element.roi_id == want[0] and element.roi_name == want[1]
                assert tags_of(item) is None
            else:
                assert element.info is item.info
                assert item.info[KEY.ROI_ID] == want[0]
                assert item.info["roi_name"] == want[1]
                assert not hasattr(element, "roi_id")
    assert recorder.calls == []


@pytest.mark.parametrize("name, boxes, expected", [c for c in CASES if len(c[1]) > 1 and
                                                   all(a is None for _, a in c[1])])
def test_examples_as_one_frame_keep_input_order(name, boxes, expected):
    w = ZoneWarden(layout(name))
    items = [Det(box) for box, _ in boxes]
    result = w.filter_in_roi(items)
    assert result is not items
    kept = [(i, want) for i, want in enumerate(expected) if want is not None]
    assert len(result) == len(kept)
    for element, (i, want) in zip(result, kept):
        if want == "same":
            assert element is items[i]
        else:
            assert element.tlwh is items[i].tlwh and tags_of(element) == want


@pytest.mark.parametrize("det_or_trk", [[Det(IN), Det(OUT)], [], None, "anything", (Det(IN),)])
def test_no_regions_hand_the_input_back(det_or_trk, recorder):
    for w in (ZoneWarden(), ZoneWarden([])):
        assert w.filter_in_roi(det_or_trk) is det_or_trk
        assert w.filter_in_roi(det_or_trk, [100, 100], (0.5, 0.5, 0.5)) is det_or_trk
    assert recorder.calls == []


def test_empty_frame_with_regions_gives_a_new_empty_list():
    w = ZoneWarden(layout("outer"))
    frame = []
    result = w.filter_in_roi(frame)
    assert result == [] and result is not frame


@pytest.mark.parametrize("tlwh, rect, kept", [
    (OUT, IN, True),      # the rect is used, not tlwh
    (IN, OUT, False),
    (IN, None, True),
    (OUT, None, False),
])
def test_track_box_is_the_rect_entry(tlwh, rect, kept):
    w = ZoneWarden(layout("outer"))
    track = Track(tlwh)
    if rect is None:
        del track.info["rect"]
    else:
        track.info["rect"] = rect
    result = w.filter_in_roi([track])
    assert bool(result) == kept


def test_track_without_tlwh_fails_even_with_a_rect(recorder):
    w = ZoneWarden(layout("outer"))
    track = Track(IN)
    del track.tlwh
    assert w.filter_in_roi([track]) == []
    assert [type(e) for e in recorder.errors] == [AttributeError]


@pytest.mark.parametrize("frames", [
    ([100, 100], [100, 100]),
    ([100, 100], None),
    (None, [100, 100]),
    ([100, 100], []),
    ([100, 100], 0),
    ([1, 1], (100.0, 100.0, "ignored")),
])
def test_pixel_boxes_are_normalised_by_the_frame_size(frames):
    ctor_frame, call_frame = frames
    w = ZoneWarden([region(OUTER, label="zone1", roi_id="id1")], ctor_frame)
    inside, outside = Det((45, 45, 10, 10)), Det((0, 0, 10, 10))
    result = w.filter_in_roi([inside, outside], call_frame)
    assert len(result) == 1 and result[0].tlwh is inside.tlwh
    assert result[0].roi_id == ["id1"]


def test_call_frame_size_replaces_the_instance_one():
    w = ZoneWarden([region(OUTER)], [1000, 1000])
    det = Det((45, 45, 10, 10))
    assert w.filter_in_roi([det]) == []
    assert len(w.filter_in_roi([det], [100, 100])) == 1
    assert w.frame_sz == [1000.0, 1000.0]


def test_pixel_boxes_without_frame_size_are_divided_by_one():
    w = ZoneWarden([region(OUTER)])
    assert w.filter_in_roi([Det((45, 45, 10, 10))]) == []
    big = ZoneWarden([region(square(40, 40, 60, 60))])
    assert len(big.filter_in_roi([Det((45, 45, 10, 10))])) == 1


@pytest.mark.parametrize("box, normalised", [
    ((100, 100, 1, 20), False),
    ((100, 100, 20, 1), False),
    ((100, 100, 1.0, 1.0), False),
    ((100, 100, 1.0000001, 20), True),
])
def test_only_boxes_wider_and_taller_than_one_are_pixel_boxes(box, normalised):
    frame = [640, 480]
    x, y, w_, h_ = box
    raw = (x + w_ * 0.5, y + h_ * 0.5)
    around_raw = region(square(raw[0] - 0.25, raw[1] - 0.25, raw[0] + 0.25, raw[1] + 0.25))
    scaled = (raw[0] / 640, raw[1] / 480)
    around_scaled = region(square(scaled[0] - 0.01, scaled[1] - 0.01,
                                  scaled[0] + 0.01, scaled[1] + 0.01))
    w_raw = ZoneWarden([around_raw], frame)
    w_scaled = ZoneWarden([around_scaled], frame)
    assert bool(w_raw.filter_in_roi([Det(box)])) == (not normalised)
    assert bool(w_scaled.filter_in_roi([Det(box)])) == normalised


@pytest.mark.parametrize("box, anchor", [
    ((0.25, 0.5, 0.1, 0.1), (0.0, 0.0)),      # on the left edge
    ((0.5, 0.25, 0.1, 0.1), (0.0, 0.0)),      # on the top edge
    ((0.25, 0.25, 0.1, 0.1), (0.0, 0.0)),     # on a vertex
    ((0.65, 0.65, 0.1, 0.1), (1.0, 1.0)),     # on the bottom-right vertex
    ((0.7, 0.4, 0.1, 0.2), (0.5, 1.0)),       # on the right edge
])
def test_a_point_on_the_edge_is_not_inside(box, anchor):
    w = ZoneWarden([region(square(0.25, 0.25, 0.75, 0.75))])
    assert w.filter_in_roi([Det(box)], None, anchor) == []


def test_a_point_on_an_exclusion_overlap_edge_is_not_excluded():
    w = ZoneWarden([region(OUTER, roi_id="o"), region(INNER, include=False)])
    on_edge = Det((0.4, 0.5, 0.0, 0.0))
    result = w.filter_in_roi([on_edge], None, (0.0, 0.0))
    assert len(result) == 1 and result[0].roi_id == ["o"]


def test_point_on_a_diagonal_edge_is_not_inside():
    tri = region([(0.0, 0.0), (1.0, 0.0), (0.0, 1.0)])
    w = ZoneWarden([tri])
    assert w.filter_in_roi([Det((0.5, 0.5, 0.0, 0.0)), Det((0.25, 0.75, 0.0, 0.0))], None,
                           (0.0, 0.0)) == []
    assert len(w.filter_in_roi([Det((0.25, 0.25, 0.0, 0.0))], None, (0.0, 0.0))) == 1


def test_record_listed_twice_tags_twice():
    rec = region(OUTER, label="zone1", roi_id="id1")
    w = ZoneWarden([rec, rec])
    (element,) = w.filter_in_roi([Det(IN)])
    assert element.roi_id == ["id1", "id1"] and element.roi_name == ["zone1", "zone1"]


def test_missing_identifier_and_name_tag_as_empty_strings():
    w = ZoneWarden([region(OUTER), region(square(0.3, 0.3, 0.7, 0.7), label="named")])
    (element,) = w.filter_in_roi([Det(IN)])
    assert element.roi_id == ["", ""] and element.roi_name == ["", "named"]


def test_identifiers_and_names_may_be_any_objects():
    ident, name = object(), ("tuple", 1)
    w = ZoneWarden([region(OUTER, label=name, roi_id=ident)])
    (element,) = w.filter_in_roi([Det(IN)])
    assert element.roi_id[0] is ident and element.roi_name[0] is name


@pytest.mark.parametrize("box_type", [tuple, list, iter])
def test_any_iterable_of_four_numbers_is_a_box(box_type):
    import numpy as np
    w = ZoneWarden(layout("outer"))
    for box in (box_type(IN), np.array(IN), np.array(IN, dtype=np.float32)):
        assert len(w.filter_in_roi([Det(box)])) == 1


def test_copies_are_shallow_and_the_callers_items_untouched():
    w = ZoneWarden(layout("outer"))
    det, track = Det(IN), Track(IN)
    det.extra = ["shared"]
    track.extra = {"k": 1}
    det_copy, track_copy = w.filter_in_roi([det, track])
    assert type(det_copy) is Det and det_copy is not det
    assert det_copy.extra is det.extra and det_copy.tlwh is det.tlwh
    assert list(vars(det_copy)) == ["tlwh", "extra", "roi_id", "roi_name"]
    assert list(vars(det)) == ["tlwh", "extra"]
    assert track_copy.info is track.info and track_copy.extra is track.extra
    assert list(vars(track_copy)) == ["tlwh", "info", "extra"]
    assert list(track.info) == ["rect", "roi_id", "roi_name"]


@pytest.mark.parametrize("cls", [PropertyDet, SlotDet, CopyHookDet])
def test_items_of_other_classes_are_copied_through_copy(cls):
    w = ZoneWarden(layout("outer"))
    item = cls(IN)
    before = CopyHookDet.copies
    (element,) = w.filter_in_roi([item])
    assert element is not item and type(element) is cls
    assert element.roi_id == ["abc123"] and element.roi_name == ["zone1"]
    assert not hasattr(item, "roi_id")
    if cls is CopyHookDet:
        assert CopyHookDet.copies == before + 1 and element.copied


def test_info_read_failure_of_any_kind_means_a_detection():
    class Odd(Det):
        @property
        def info(self):
            raise ValueError("no info here")

    w = ZoneWarden(layout("outer"))
    (element,) = w.filter_in_roi([Odd(IN)])
    assert element.roi_id == ["abc123"]


def test_info_mapping_other_than_a_dict():
    class Info(object):
        def __init__(self):
            self.data = {}
            self.gets = []

        def get(self, key, default):
            self.gets.append(key)
            return self.data.get(key, default)

        def __setitem__(self, key, value):
            self.data[key] = value

    track = Track(OUT)
    track.info = Info()
    track.info.data["rect"] = IN
    w = ZoneWarden(layout("outer"))
    (element,) = w.filter_in_roi([track])
    assert element.info is track.info and track.info.gets == ["rect"]
    assert track.info.data["roi_id"] == ["abc123"] and track.info.data["roi_name"] == ["zone1"]


# --- failure path -------------------------------------------------------------------


class NoBox(object):
    pass


@pytest.mark.parametrize("name, frame, call, error, message", [
    ("det inside then no tlwh", None, lambda w: w.filter_in_roi([Det(IN), NoBox()]),
     AttributeError, None),
    ("three-value anchor", None, lambda w: w.filter_in_roi([Det(IN)], None, (0.5, 0.5, 0.5)),
     ValueError, "too many values to unpack (expected 2)"),
    ("one-value anchor", None, lambda w: w.filter_in_roi([Det(IN)], None, (0.5,)),
     ValueError, "need more than 1 value to unpack"),
    ("anchor from an iterator", None, lambda w: w.filter_in_roi([Det(IN)], None, iter([0.5])),
     ValueError, "need more than 1 value to unpack"),
    ("short box", None, lambda w: w.filter_in_roi([Det((0.1, 0.2, 0.3))]),
     ValueError, "need more than 3 values to unpack"),
    ("empty box", None, lambda w: w.filter_in_roi([Det(())]),
     ValueError, "need more than 0 values to unpack"),
    ("long box", None, lambda w: w.filter_in_roi([Det((0.1, 0.2, 0.3, 0.4, 0.5))]),
     ValueError, "too many values to unpack (expected 4)"),
    ("long box iterator", None, lambda w: w.filter_in_roi([Det(iter([0.1, 0.2, 0.3, 0.4, 0.5]))]),
     ValueError, "too many values to unpack (expected 4)"),
    ("box not iterable", None, lambda w: w.filter_in_roi([Det(4)]), TypeError, None),
    ("box of strings", None, lambda w: w.filter_in_roi([Det(("a", "b", "c", "d"))]),
     TypeError, None),
    ("det_or_trk None", None, lambda w: w.filter_in_roi(None), TypeError, None),
    ("det_or_trk not iterable", None, lambda w: w.filter_in_roi(5), TypeError, None),
    ("call frame too short", None, lambda w: w.filter_in_roi([Det(IN)], [100]),
     IndexError, None),
    ("zero frame width", None, lambda w: w.filter_in_roi([Det((45, 45, 10, 10))], [0, 100]),
     ZeroDivisionError, None),
    ("zero frame height", None, lambda w: w.filter_in_roi([Det((45, 45, 10, 10))], [100, 0.0]),
     ZeroDivisionError, None),
    ("info without get", None, lambda w: w.filter_in_roi([_track_with_info(object())]),
     AttributeError, None),
    ("info not writable", None, lambda w: w.filter_in_roi([_track_with_info(_ReadOnly())]),
     TypeError, None),
    ("frame size of strings", None,
     lambda w: w.filter_in_roi([Det((45, 45, 10, 10))], ["a", "b"]), TypeError, None),
    ("regions gone", None, lambda w: delattr(w, "rois") or w.filter_in_roi([Det(IN)]),
     AttributeError, None),
])
def test_any_exception_is_recorded_once_and_gives_an_empty_list(name, frame, call, error,
                                                                message, recorder):
    w = ZoneWarden(layout("outer"), frame)
    result = call(w)
    assert result == [] and type(result) is list
    assert len(recorder.calls) == 1
    logger, e = recorder.calls[0]
    assert logger is zw.logger
    assert type(e) is error
    if message is not None:
        assert str(e) == message
    assert e.__traceback__ is not None


class _ReadOnly(object):
    def get(self, key, default):
        return IN


def _track_with_info(info):
    track = Track(IN)
    track.info = info
    return track


def test_tags_written_before_a_failure_stay(recorder):
    w = ZoneWarden(layout("outer"))
    track = Track(IN)
    assert w.filter_in_roi([track, NoBox()]) == []
    assert track.info["roi_id"] == ["abc123"] and len(recorder.calls) == 1


def test_failure_uses_the_current_logger_and_recorder(monkeypatch, recorder):
    sentinel = object()
    monkeypatch.setattr(zw, "logger", sentinel)
    w = ZoneWarden(layout("outer"))
    assert w.filter_in_roi(None) == []
    assert recorder.calls[0][0] is sentinel


def test_failure_is_recorded_through_the_real_logging_package(caplog):
    w = ZoneWarden(layout("outer"))
    import logging
    zw.logger.addHandler(caplog.handler)
    try:
        with caplog.at_level(logging.ERROR, logger=zw.logger.name):
            assert w.filter_in_roi([NoBox()]) == []
    finally:
        zw.logger.removeHandler(caplog.handler)
    assert any("AttributeError" in r.getMessage() for r in caplog.records)


def test_exception_traceback_sees_the_exception_as_handled(monkeypatch):
    import sys
    import traceback
    seen = []
    monkeypatch.setattr(zw, "exception_traceback",
                        lambda lg, e: seen.append((sys.exc_info()[1] is e, traceback.extract_tb(
                            e.__traceback__)[0][:3])))
    ZoneWarden(layout("outer")).filter_in_roi(None)
    # the traceback names the filter, as a frame of the module's would
    assert seen == [(True, ("ombrix_sdk/roi/zone_warden", 1, "filter_in_roi"))]
    assert sys.exc_info() == (None, None, None)


def test_a_failing_recorder_propagates_with_the_original_as_context(monkeypatch):
    def broken(logger, e):
        raise RuntimeError("recorder down")

    monkeypatch.setattr(zw, "exception_traceback", broken)
    with pytest.raises(RuntimeError) as err:
        ZoneWarden(layout("outer")).filter_in_roi(None)
    assert isinstance(err.value.__context__, TypeError)


def test_an_unbound_recorder_raises_name_error(monkeypatch):
    monkeypatch.delattr(zw, "exception_traceback")
    with pytest.raises(NameError):
        ZoneWarden(layout("outer")).filter_in_roi(None)


@pytest.mark.parametrize("where", ["tlwh", "info", "copy"])
def test_interrupts_are_not_caught(where, recorder):
    class Interrupting(object):
        def __init__(self, box):
            self.__dict__["tlwh"] = box

    def interrupt(self):
        raise KeyboardInterrupt()

    if where == "tlwh":
        Interrupting.tlwh = property(interrupt)
    elif where == "info":
        Interrupting.info = property(interrupt)
    else:
        def __copy__(self):
            raise KeyboardInterrupt()
        Interrupting.__copy__ = __copy__
    w = ZoneWarden(layout("outer"))
    with pytest.raises(KeyboardInterrupt):
        w.filter_in_roi([Interrupting(IN)])
    assert recorder.calls == []


# --- hooks ------------------------------------------------------------------------


def test_is_point_in_polygon_returns_the_libraries_answer():
    rec = layout("outer")[0]
    ZoneWarden([rec])
    assert ZoneWarden._is_point_in_polygon(Point(0.5, 0.5), rec) is True
    assert ZoneWarden._is_point_in_polygon(point_shapely=Point(0.2, 0.5), polygon=rec) is False
    with pytest.raises(KeyError):
        ZoneWarden._is_point_in_polygon(Point(0.5, 0.5), {"points": []})


def test_is_point_excluded_for_polygon():
    records = layout("outer - inner")
    w = ZoneWarden(records)
    assert w._is_point_excluded_for_polygon(Point(0.5, 0.5), records[0]) is True
    assert w._is_point_excluded_for_polygon(Point(0.3, 0.3), records[0]) is False
    assert w._is_point_excluded_for_polygon(Point(0.5, 0.5), records[1]) is False
    assert w._is_point_excluded_for_polygon(Point(0.5, 0.5), {}) is False


def test_assign_roi_info_for_detections_and_tracks():
    recs = [{"roi_id": "a", "label": "A"}, {"label": "B"}, {"roi_id": "c"}]
    det = Det(IN)
    assert ZoneWarden._assign_roi_info(det, recs, False) is None
    assert det.roi_id == ["a", "", "c"] and det.roi_name == ["A", "B", ""]
    track = Track(IN)
    ZoneWarden._assign_roi_info(item_copy=track, matched_polygons=recs, has_info_attr=1)
    assert track.info["roi_id"] == ["a", "", "c"] and track.info["roi_name"] == ["A", "B", ""]
    assert not hasattr(track, "roi_id")


def test_hooks_are_called_through_the_instance():
    calls = []

    class Watching(ZoneWarden):
        def _is_point_in_polygon(self, point_shapely, polygon):
            calls.append(("in", polygon.get("roi_id")))
            return ZoneWarden._is_point_in_polygon(point_shapely, polygon)

        def _is_point_excluded_for_polygon(self, point_shapely, polygon):
            calls.append(("out", polygon.get("roi_id")))
            return ZoneWarden._is_point_excluded_for_polygon(self, point_shapely, polygon)

        def _assign_roi_info(self, item_copy, matched_polygons, has_info_attr):
            calls.append(("tag", [p["roi_id"] for p in matched_polygons], has_info_attr))
            ZoneWarden._assign_roi_info(item_copy, matched_polygons, has_info_attr)

    w = Watching(layout("outer + corner"))
    result = w.filter_in_roi([Det(IN), Track(OUT)])
    assert calls == [("in", "id1"), ("out", "id1"), ("in", "id2"), ("tag", ["id1"], False),
                     ("in", "id1"), ("in", "id2")]
    assert len(result) == 1 and result[0].roi_id == ["id1"]


def test_instance_level_hook_override():
    w = ZoneWarden(layout("outer"))
    w._is_point_in_polygon = lambda point, polygon: True
    (element,) = w.filter_in_roi([Det(OUT)])
    assert element.roi_id == ["abc123"]


# --- collaborators are looked up at each call -----------------------------------


def test_point_is_looked_up_for_each_item(monkeypatch):
    made = []

    def counting_point(x, y):
        made.append((x, y))
        return Point(x, y)

    monkeypatch.setattr(zw, "Point", counting_point)
    w = ZoneWarden(layout("outer"))
    result = w.filter_in_roi([Det(IN), Det(OUT)])
    assert made == [(0.5, 0.5), (0.05, 0.05)]
    assert len(result) == 1


def test_copy_is_looked_up_for_each_matched_item(monkeypatch):
    copied = []

    class FakeCopy(object):
        @staticmethod
        def copy(item):
            copied.append(item)
            return copy.copy(item)

    w = ZoneWarden(layout("outer"))
    monkeypatch.setattr(zw, "copy", FakeCopy)
    items = [Det(IN), Det(OUT), Track(IN)]
    assert len(w.filter_in_roi(items)) == 2
    assert copied == [items[0], items[2]]


def test_key_names_are_looked_up_when_tagging(monkeypatch):
    class OtherKey(object):
        ROI_ID = "zone_ids"
        ROI_NAME = "zone_names"

    monkeypatch.setattr(zw, "KEY", OtherKey)
    w = ZoneWarden(layout("outer"))
    track = Track(IN)
    w.filter_in_roi([track])
    assert track.info["zone_ids"] == ["abc123"] and track.info["zone_names"] == ["zone1"]
    assert "roi_id" not in track.info


class _Name(str):
    pass


@pytest.mark.parametrize("odd_key", [False, True], ids=["plain", "odd-class-dict"])
def test_region_key_names_are_looked_up_when_tagging(monkeypatch, odd_key):
    # RoiData rebound to a class of the caller's, with the two names swapped;
    # a class dict with a key that is no exact str is read as Python reads it.
    names = {"ROI_ID_KEY": "label", "ROI_LABEL_KEY": "roi_id"}
    if odd_key:
        names[_Name("note")] = None
    w = ZoneWarden(layout("outer"))
    monkeypatch.setattr(zw, "RoiData", type("RoiData", (), names))
    det, track = w.filter_in_roi([Det(IN), Track(IN)])
    assert (det.roi_id, det.roi_name) == (["zone1"], ["abc123"])
    assert (track.info["roi_id"], track.info["roi_name"]) == (["zone1"], ["abc123"])


def _failing_box():
    yield 0.45
    yield 0.45
    raise KeyError("box")


class _RebindingInfo(dict):
    # Storing the ids renames the key of the names.
    def __setitem__(self, key, value):
        zw.KEY.ROI_NAME = "renamed"
        dict.__setitem__(self, key, value)


class _RebindingTrack(Track):
    # Reading info of a copy renames the key of the names.
    def __getattribute__(self, name):
        if name == "info" and self is not _RebindingTrack.original:
            zw.KEY.ROI_NAME = "renamed"
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("how", ["info store", "info read"])
def test_key_names_changed_by_code_run_while_tagging_are_honoured(monkeypatch, how):
    # item_copy.info[KEY.ROI_ID] = ids; item_copy.info[KEY.ROI_NAME] = names:
    # KEY.ROI_NAME is read after the first store, and after reading info.
    monkeypatch.setattr(zw, "KEY", type("Key", (), {"ROI_ID": "ids", "ROI_NAME": "names"}))
    if how == "info store":
        track = Track(IN)
        track.info = _RebindingInfo(track.info)
    else:
        track = _RebindingTrack.original = _RebindingTrack(IN)
    (element,) = ZoneWarden(layout("outer")).filter_in_roi([track])
    assert element.info["renamed"] == ["zone1"] and "names" not in element.info


@pytest.mark.parametrize("case", ["KEY", "ROI_ID", "ROI_NAME", "box"])
def test_failures_in_a_frame_reach_the_recorder_as_in_python(monkeypatch, case):
    items = [Det(IN), Track(IN)]
    if case == "KEY":
        monkeypatch.delattr(zw, "KEY")
        error, message = NameError, "name 'KEY' is not defined"
    elif case == "box":  # its iteration fails on the third value
        items.append(Det(_failing_box()))
        error, message = KeyError, "box"
    else:
        monkeypatch.setattr(zw, "KEY", type("Key", (), {"ROI_ID": "a", "ROI_NAME": "b"}))
        monkeypatch.delattr(zw.KEY, case)
        error, message = AttributeError, case
    seen = []
    monkeypatch.setattr(zw, "exception_traceback", lambda lg, e: seen.append(e))
    assert ZoneWarden(layout("outer")).filter_in_roi(items) == []
    assert [type(e) for e in seen] == [error] and message in str(seen[0])
    if case != "box":  # and the tagging step alone raises it
        with pytest.raises(error, match=message):
            ZoneWarden._assign_roi_info(Track(IN), [{"roi_id": "a", "label": "A"}], True)


def test_id_is_looked_up_when_checking_exclusions(monkeypatch):
    w = ZoneWarden(layout("outer - inner"))
    det = Det((0.45, 0.45, 0.06, 0.06))
    assert w.filter_in_roi([det]) == []
    monkeypatch.setattr(zw, "id", lambda obj: -1, raising=False)
    assert len(w.filter_in_roi([det])) == 1


class _Renaming(float):
    # A frame size of zero whose division (the first time for the second
    # item) renames the region: that item's tags are read after it.
    def __rtruediv__(self, other):
        self.calls += 1
        if self.calls == 2:
            self.records[0]["label"] = "renamed"
        return 0.5


def _renamed_between(records, box, where):
    """Two items and a frame size, with code renaming the region between the
    items: the division by the frame's width or height, or the iteration."""
    size = _Renaming(0.0)
    size.calls, size.records = 0, records
    if where == "iteration":
        def items():
            yield Det(box)
            records[0]["label"] = "renamed"
            yield Det(box)
        return items(), [100.0, 100.0]
    return [Det(box), Det(box)], [size, 100.0] if where == "width" else [100.0, size]


# A box of small ints takes the native arithmetic; one with a height beyond
# 2**53 the interpreter's (on exact ints, which runs no code).
@pytest.mark.parametrize("box, where", [((45, 45, 10, 10), "width"),
                                        ((45, 45, 10, 2 ** 60), "height"),
                                        ((45, 45, 10, 10), "iteration")])
def test_code_run_between_two_items_is_seen_as_python_sees_it(box, where):
    outcomes = []
    for cls in (ZoneWarden, ReferenceWarden):
        records = layout("outer")
        items, frame = _renamed_between(records, box, where)
        found = cls(records).filter_in_roi(items, frame)
        outcomes.append([(d.roi_id, d.roi_name) for d in found])
    assert outcomes[0] == outcomes[1] and outcomes[0][0] != outcomes[0][1]
