"""The interface of ombrix_sdk.roi.zone_warden as Python code sees it:
namespace, classes, signatures, docstrings, argument errors."""

import copy
import inspect
import json
import re
import subprocess
import sys
import textwrap

import numpy
import pytest
import shapely.geometry

import ombrix_sdk.constants
import ombrix_sdk.logging
import ombrix_sdk.roi.zone_warden as zw
from ombrix_sdk.roi.zone_warden import RoiData, ZoneWarden

HISTORY_LINES = [
    "v 0.1.0-performance: precompute exclusion intersections, use shapely only, avoid deepcopy",
    "v 0.0.9-roi_id and roi_name are now arrays listing all matched ROIs per item",
    "v 0.0.8-fix the shared reference bug",
    "v 0.0.7-add exception when the point is not in the polygon",
    "v 0.0.6-ROI add polygons parameter for the constructor",
    "v 0.0.5-ROI is implemented by shapely",
    "v 0.0.4-ROI points exception",
    None,  # v 0.0.2: names the deployment container
    "v 0.0.1-multiple polygon exclude/include roi logic",
]

INIT_DOC = (
    "\n"
    "        check the point in polygon area\n"
    "        :param polygons: polygon information in the previous roi node\n"
    "        :param frame_sz: size of the frame\n"
    "        "
)
FILTER_DOC = (
    "\n"
    "        :param det_or_trk: this param is detection result or tracking result\n"
    "        :param frame_sz: frame size of the image frame\n"
    "        :param anchor_pt: anchored position of tracking result or detection result\n"
    "        :return:\n"
    "        "
)


def test_module_docstring_is_the_version_history():
    doc = zw.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    lines = doc[1:-1].split("\n")
    assert len(lines) == len(HISTORY_LINES)
    for line, expected in zip(lines, HISTORY_LINES):
        if expected is None:
            assert re.match(r"^v 0\.0\.2-\S.* container$", line), line
        else:
            assert line == expected


def _fresh(script):
    """Runs `script` in a new interpreter; returns its last line of output."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True, cwd="/", timeout=120)
    return out.stdout.decode().strip().splitlines()[-1]


def test_namespace_binds_its_names_in_order_and_nothing_else():
    names = json.loads(_fresh("""
        import json
        import ombrix_sdk.roi.zone_warden as zw
        print(json.dumps(list(vars(zw))))
    """))
    assert [n for n in names if not (n.startswith("__") and n.endswith("__"))] == [
        "copy", "np", "Polygon", "Point", "KEY", "exception_traceback", "get_logger",
        "logger", "RoiData", "ZoneWarden"]
    assert names[:2] == ["__name__", "__doc__"]


@pytest.mark.parametrize("name, expected", [
    ("copy", copy),
    ("np", numpy),
    ("Polygon", shapely.geometry.Polygon),
    ("Point", shapely.geometry.Point),
    ("KEY", ombrix_sdk.constants.KEY),
    ("exception_traceback", ombrix_sdk.logging.exception_traceback),
    ("get_logger", ombrix_sdk.logging.get_logger),
])
def test_imported_names_are_the_real_objects(name, expected):
    assert getattr(zw, name) is expected


def test_logger_is_the_zone_warden_logger():
    assert zw.logger is ombrix_sdk.logging.get_logger("ZoneWarden")


def test_import_order_in_a_fresh_interpreter():
    script = textwrap.dedent("""
        import builtins, json, sys
        seen = []
        real_import = builtins.__import__
        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            seen.append([name, list(fromlist or ())])
            return real_import(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        import ombrix_sdk.roi.zone_warden as zw
        builtins.__import__ = real_import
        start = seen.index(["ombrix_sdk.roi.zone_warden", []])
        wanted = ("copy", "numpy", "shapely.geometry", "ombrix_sdk.constants",
                  "ombrix_sdk.logging")
        print(json.dumps([n for n, _ in seen[start + 1:] if n in wanted]))
    """)
    out = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, check=True, cwd="/", timeout=120)
    order = json.loads(out.stdout.decode().strip().splitlines()[-1])
    firsts = []
    for name in order:
        if name not in firsts:
            firsts.append(name)
    assert firsts == ["copy", "numpy", "shapely.geometry", "ombrix_sdk.constants",
                      "ombrix_sdk.logging"]


@pytest.mark.parametrize("missing", ["shapely", "numpy"])
def test_a_missing_dependency_fails_the_import(missing):
    script = textwrap.dedent("""
        import sys
        sys.modules[%r] = None
        try:
            import ombrix_sdk.roi.zone_warden
        except ImportError as e:
            print("ImportError")
        else:
            print("imported")
    """ % missing)
    out = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, check=True, cwd="/", timeout=120)
    assert out.stdout.decode().strip().splitlines()[-1] == "ImportError"


def test_roi_data_is_a_plain_class_of_key_names():
    assert RoiData.__bases__ == (object,)
    assert RoiData.__doc__ is None
    attrs = [(n, v) for n, v in vars(RoiData).items() if not n.startswith("__")]
    assert attrs == [("POLYGON_INFO", "polygon_roi"), ("ROI_ID_KEY", "roi_id"),
                     ("ROI_LABEL_KEY", "label"), ("INCLUDE_KEY", "include"),
                     ("POINTS_KEY", "points"), ("POLYGON_EDGE", 1)]
    assert type(RoiData.POLYGON_EDGE) is int
    assert RoiData.__module__ == "ombrix_sdk.roi.zone_warden"
    assert RoiData.__qualname__ == "RoiData"


def test_zone_warden_class_members_in_definition_order():
    assert ZoneWarden.__bases__ == (object,)
    assert ZoneWarden.__doc__ is None
    assert ZoneWarden.__module__ == "ombrix_sdk.roi.zone_warden"
    members = [n for n in vars(ZoneWarden) if not (n.startswith("__") and n.endswith("__"))]
    assert members == ["_is_point_excluded_for_polygon", "filter_in_roi",
                       "_is_point_in_polygon", "_assign_roi_info"]
    assert list(vars(ZoneWarden)).index("__init__") < list(vars(ZoneWarden)).index(
        "_is_point_excluded_for_polygon")
    assert isinstance(vars(ZoneWarden)["_is_point_in_polygon"], staticmethod)
    assert isinstance(vars(ZoneWarden)["_assign_roi_info"], staticmethod)
    for name in ("__init__", "_is_point_excluded_for_polygon", "filter_in_roi"):
        assert not isinstance(vars(ZoneWarden)[name], (staticmethod, classmethod))


@pytest.mark.parametrize("name, params, defaults, doc", [
    ("__init__", ["self", "polygons", "frame_sz"], (None, None), INIT_DOC),
    ("filter_in_roi", ["self", "det_or_trk", "frame_sz", "anchor_pt"], (None, (0.5, 0.5)),
     FILTER_DOC),
    ("_is_point_excluded_for_polygon", ["self", "point_shapely", "polygon"], None, None),
    ("_is_point_in_polygon", ["point_shapely", "polygon"], None, None),
    ("_assign_roi_info", ["item_copy", "matched_polygons", "has_info_attr"], None, None),
])
def test_function_signatures_and_docstrings(name, params, defaults, doc):
    fn = getattr(ZoneWarden, name)
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in sig.parameters.values())
    assert fn.__defaults__ == defaults
    assert fn.__kwdefaults__ is None
    assert fn.__annotations__ == {}
    assert fn.__doc__ == doc
    assert fn.__name__ == name
    assert fn.__qualname__ == "ZoneWarden." + name
    assert fn.__module__ == "ombrix_sdk.roi.zone_warden"


def test_filter_default_anchor_is_a_tuple():
    assert type(ZoneWarden.filter_in_roi.__defaults__[1]) is tuple


@pytest.mark.parametrize("call", [
    lambda: ZoneWarden(None, None, None),
    lambda: ZoneWarden(regions=None),
    lambda: ZoneWarden(None, polygons=None),
    lambda w: w.filter_in_roi(),
    lambda w: w.filter_in_roi([], None, (0.5, 0.5), 1),
    lambda w: w.filter_in_roi([], anchor=(0.5, 0.5)),
    lambda w: w.filter_in_roi([], det_or_trk=[]),
    lambda w: w._is_point_in_polygon(None),
    lambda w: w._is_point_excluded_for_polygon(None),
    lambda w: w._assign_roi_info(None, []),
    lambda w: w._assign_roi_info(None, [], False, 1),
])
def test_argument_errors_are_raised_not_caught(call, recorder):
    params = inspect.signature(call).parameters
    with pytest.raises(TypeError):
        if params:
            call(ZoneWarden([{"include": True, "points": [[0, 0], [1, 0], [1, 1]]}]))
        else:
            call()
    assert recorder.calls == []


def test_positional_count_error_message():
    w = ZoneWarden()
    with pytest.raises(TypeError) as err:
        w.filter_in_roi([], None, (0.5, 0.5), 1)
    assert str(err.value) == "filter_in_roi() takes at most 4 positional arguments (5 given)"


def test_instance_attributes_in_order():
    w = ZoneWarden([{"include": True, "points": [[0, 0], [1, 0], [1, 1]]}], [10, 20])
    assert list(vars(w)) == ["polygons", "rois", "frame_sz", "_included_rois",
                             "_empty_polygon", "_exclusion_intersections"]
    w2 = ZoneWarden()
    assert list(vars(w2)) == list(vars(w))
