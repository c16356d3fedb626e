"""Building the region set: ZoneWarden(polygons, frame_sz)."""

import copy

import numpy as np
import pytest
import shapely
from shapely.geometry import Polygon

import ombrix_sdk.roi.zone_warden as zw
from ombrix_sdk.roi.zone_warden import ZoneWarden

from zone_warden_support import CORNER, INNER, OUTER, region, square


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((), {"polygons": None})])
def test_no_regions(args, kwargs):
    w = ZoneWarden(*args, **kwargs)
    assert w.polygons is None and w.rois is None
    assert w.frame_sz == [1.0, 1.0]
    assert w._included_rois == [] and w._empty_polygon is None
    assert w._exclusion_intersections == {}


def test_empty_list_is_kept_but_not_copied():
    polygons = []
    w = ZoneWarden(polygons=polygons)
    assert w.polygons is None
    assert w.rois is polygons


@pytest.mark.parametrize("frame_sz, expected", [
    ([100, 100], [100.0, 100.0]),
    ((1920, 1080, 3), [1920.0, 1080.0]),
    (("640", 480.5), [640.0, 480.5]),
    (None, [1.0, 1.0]),
    ([], [1.0, 1.0]),
    (0, [1.0, 1.0]),
])
def test_frame_size(frame_sz, expected):
    w = ZoneWarden([region(OUTER)], frame_sz)
    assert w.frame_sz == expected
    assert all(type(v) is float for v in w.frame_sz)
    assert type(w.frame_sz) is list


@pytest.mark.parametrize("frame_sz, error", [
    ([100], IndexError),
    (["wide", 100], ValueError),
    ([None, 100], TypeError),
    (5, TypeError),
    (np.array([320, 240]), ValueError),  # the truth value of an array
])
def test_bad_frame_size_raises_before_any_record_is_touched(frame_sz, error):
    records = [region(OUTER)]
    with pytest.raises(error):
        ZoneWarden(records, frame_sz)
    assert records[0]["points"] == [list(p) for p in OUTER]
    assert "shapely_polygon" not in records[0]


def test_records_prepared_in_place_and_copy_kept_as_given():
    records = [region(OUTER, label="zone1", roi_id="abc123"),
               region(INNER, include=False, label="excl", roi_id="excl1"),
               region([], label="everywhere")]
    given = copy.deepcopy(records)
    w = ZoneWarden(records)
    assert w.rois is records
    assert w.polygons == given and w.polygons is not records
    assert w.polygons[0] is not records[0]
    for rec, orig in zip(records, given):
        assert isinstance(rec["points"], np.ndarray) and rec["points"].dtype == np.float32
        np.testing.assert_array_equal(rec["points"], np.array(orig["points"], dtype=np.float32))
        assert isinstance(rec["shapely_polygon"], Polygon)
        assert rec["shapely_polygon"].equals_exact(
            Polygon(np.array(orig["points"], dtype=np.float32)), 0) or \
            rec["shapely_polygon"].is_empty
    assert records[0]["points"].shape == (4, 2)
    assert records[2]["points"].shape == (0,)
    assert records[2]["shapely_polygon"].is_empty
    for rec in w.polygons:
        assert "shapely_polygon" not in rec and isinstance(rec["points"], list)


def test_vertices_are_rounded_to_single_precision():
    third = 1.0 / 3.0
    records = [region([(third, 0.1), (0.9, 0.1), (0.9, 0.9)])]
    ZoneWarden(records)
    coords = list(records[0]["shapely_polygon"].exterior.coords)
    assert coords[0] == (float(np.float32(third)), float(np.float32(0.1)))
    assert coords[0][0] != third


def test_include_and_exclusion_overlap():
    records = [region(OUTER, label="zone1", roi_id="abc123"),
               region(INNER, include=False, label="excl", roi_id="excl1")]
    w = ZoneWarden(records)
    assert w._included_rois == [records[0]] and w._included_rois[0] is records[0]
    assert list(w._exclusion_intersections) == [id(records[0])]
    (overlap,) = w._exclusion_intersections[id(records[0])]
    assert overlap.equals(Polygon(np.array(INNER, dtype=np.float32)))
    assert w._empty_polygon is None


def test_two_includes_without_exclusion():
    records = [region(OUTER), region(CORNER)]
    w = ZoneWarden(records)
    assert w._included_rois == records
    assert [w._included_rois[0] is records[0], w._included_rois[1] is records[1]] == [True, True]
    assert w._exclusion_intersections == {id(records[0]): [], id(records[1]): []}


def test_two_empty_includes():
    records = [region([]), region([])]
    w = ZoneWarden(records)
    assert w._included_rois == [] and w._exclusion_intersections == {}
    assert w._empty_polygon is records[1]


def test_square_and_empty_include():
    records = [region(OUTER), region([], label="everywhere")]
    w = ZoneWarden(records)
    assert w._included_rois == [records[0]]
    assert w._empty_polygon is records[1]


@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
def test_empty_exclusion_is_the_empty_region_too(order):
    pair = [region([], include=False, label="a"), region([], include=True, label="b")]
    records = [pair[i] for i in order]
    w = ZoneWarden(records)
    assert w._empty_polygon is records[1]


def test_empty_exclusion_alone():
    records = [region(OUTER), region([], include=False)]
    w = ZoneWarden(records)
    assert w._empty_polygon is records[1]
    assert w._exclusion_intersections == {id(records[0]): []}


def test_far_exclusion_adds_nothing():
    records = [region(OUTER), region(CORNER, include=False)]
    w = ZoneWarden(records)
    assert w._exclusion_intersections == {id(records[0]): []}


@pytest.mark.parametrize("flag", [0, "", None, [], False, 0.0])
def test_falsy_include_flag_makes_an_exclusion(flag):
    records = [region(OUTER), region(INNER, include=flag)]
    w = ZoneWarden(records)
    assert w._included_rois == [records[0]]
    assert len(w._exclusion_intersections[id(records[0])]) == 1


def test_overlaps_kept_in_exclusion_order_for_each_include():
    left = region(square(0.1, 0.1, 0.5, 0.9))
    right = region(square(0.5, 0.1, 0.9, 0.9))
    band = region(square(0.0, 0.4, 1.0, 0.6), include=False)
    dot = region(square(0.2, 0.2, 0.3, 0.3), include=False)
    records = [band, left, dot, right]
    w = ZoneWarden(records)
    assert w._included_rois == [left, right]
    left_overlaps = w._exclusion_intersections[id(left)]
    right_overlaps = w._exclusion_intersections[id(right)]
    def f32(*values):
        return tuple(float(np.float32(v)) for v in values)

    assert [g.bounds for g in left_overlaps] == [f32(0.1, 0.4, 0.5, 0.6), f32(0.2, 0.2, 0.3, 0.3)]
    assert [g.bounds for g in right_overlaps] == [f32(0.5, 0.4, 0.9, 0.6)]


def test_overlap_touching_only_along_an_edge_is_kept_when_not_empty():
    # The intersection of two squares sharing an edge is a line: not empty.
    inc = region(square(0.1, 0.1, 0.5, 0.5))
    exc = region(square(0.5, 0.1, 0.9, 0.5), include=False)
    w = ZoneWarden([inc, exc])
    (overlap,) = w._exclusion_intersections[id(inc)]
    assert overlap.geom_type in ("LineString", "MultiLineString")


def test_record_listed_twice():
    rec = region(OUTER)
    w = ZoneWarden([rec, rec])
    assert w._included_rois == [rec, rec]
    assert list(w._exclusion_intersections) == [id(rec)]


def test_second_instance_prepares_the_same_records_again():
    records = [region(OUTER), region(INNER, include=False)]
    first = ZoneWarden(records)
    polygon_before = records[0]["shapely_polygon"]
    second = ZoneWarden(records)
    assert records[0]["shapely_polygon"] is not polygon_before
    assert second._exclusion_intersections is not first._exclusion_intersections
    assert list(second._exclusion_intersections) == list(first._exclusion_intersections)
    assert second.polygons[0]["points"].dtype == np.float32  # copied after preparation


@pytest.mark.parametrize("records, error", [
    ([{"include": True}], KeyError),
    ([{"points": OUTER}], KeyError),
    ([[0.1, 0.2]], TypeError),
    ([{"include": True, "points": [[0.1, 0.1], [0.2, 0.2]]}], (ValueError, shapely.errors.GEOSException)),
    ([{"include": True, "points": [["a", "b"], [1, 1], [0, 1]]}], ValueError),
])
def test_construction_errors_propagate(records, error, recorder):
    with pytest.raises(error):
        ZoneWarden(records)
    assert recorder.calls == []


def test_library_error_for_too_few_vertices_is_shapelys_own():
    try:
        Polygon(np.array([[0.1, 0.1], [0.2, 0.2]], dtype=np.float32))
    except Exception as e:
        expected = type(e)
    with pytest.raises(expected):
        ZoneWarden([region([(0.1, 0.1), (0.2, 0.2)])])


def test_failure_in_preparation_leaves_earlier_records_prepared():
    records = [region(OUTER), {"include": True}, region(INNER)]
    with pytest.raises(KeyError):
        ZoneWarden(records)
    assert isinstance(records[0]["points"], np.ndarray)
    assert "shapely_polygon" in records[0]
    assert isinstance(records[2]["points"], list)


def test_invalid_polygon_intersection_raises_the_library_error():
    bowtie = region([(0.1, 0.1), (0.9, 0.9), (0.9, 0.1), (0.1, 0.9)])
    with pytest.raises(shapely.errors.GEOSException):
        ZoneWarden([bowtie, region(INNER, include=False)])


def test_invalid_polygon_without_exclusions_is_accepted():
    bowtie = region([(0.1, 0.1), (0.9, 0.9), (0.9, 0.1), (0.1, 0.9)])
    w = ZoneWarden([bowtie])
    assert w._included_rois == [bowtie]


def test_constructor_returns_none_and_can_be_called_again():
    w = ZoneWarden([region(OUTER)])
    records = [region(CORNER)]
    assert w.__init__(records, [5, 6]) is None
    assert w.rois is records and w.frame_sz == [5.0, 6.0]
    assert w._included_rois == records


def test_collaborators_are_looked_up_when_constructing(monkeypatch):
    made = []

    def counting(points):
        made.append((points.dtype, Polygon(points)))
        return made[-1][1]

    monkeypatch.setattr(zw, "Polygon", counting)
    records = [region(OUTER), region([])]
    ZoneWarden(records)
    assert [dtype for dtype, _ in made] == [np.float32, np.float32]
    assert [r["shapely_polygon"] for r in records] == [p for _, p in made]
    assert records[0]["shapely_polygon"] is made[0][1]

    deep = []
    fake_copy = type("FakeCopy", (), {"deepcopy": staticmethod(lambda x: deep.append(x) or "copied")})
    monkeypatch.setattr(zw, "copy", fake_copy)
    w = ZoneWarden(records)
    assert w.polygons == "copied" and deep == [records]

    # len too: its error propagates, and no region is taken for the empty one
    def failing_len(x):
        raise LookupError("len")

    monkeypatch.setattr(zw, "len", failing_len, raising=False)
    with pytest.raises(LookupError):
        w.__init__([region([]), region(OUTER)])
    assert w._empty_polygon is None


def test_construction_logs_nothing(recorder, caplog):
    with pytest.raises(KeyError):
        ZoneWarden([{"points": OUTER}])
    ZoneWarden([region(OUTER)])
    assert recorder.calls == [] and caplog.records == []
