"""check_model_type: the ten rules in their order, on real directories."""

import os

import pytest

from ombrix_sdk.constants import MODEL_TYPE

UNDETERMINED = "Could not determine model type for: "


@pytest.fixture
def root(tmp_path_factory):
    # A base whose path holds no "yolo" (tmp_path would carry the test id).
    return str(tmp_path_factory.mktemp("types"))


def _make(root, dirname, entries):
    """Creates root/dirname with entries: "x.ext" a file, "d/" a directory,
    "d/x.ext" a file in a subdirectory."""
    path = os.path.join(root, dirname)
    os.makedirs(path)
    for entry in entries:
        full = os.path.join(path, entry)
        if entry.endswith("/"):
            os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            open(full, "w").close()
    return path


RULES = [
    # 1: weights and a yolo path
    ("yolov4_net", ["m.weights"], "TF_YOLO"),
    ("my-yolo", ["m.weights", "m.xml", "m.bin"], "TF_YOLO"),
    ("net", ["m.weights"], "TF_V2"),  # step 8 instead
    ("YOLOV4", ["m.weights"], "TF_V2"),  # case-sensitive
    # 2: OpenVINO needs both
    ("net", ["m.xml", "m.bin"], "OPENVINO"),
    ("net", ["m.xml", "m.bin", "m.weights", "g.pb"], "OPENVINO"),
    ("net", ["m.xml"], None),
    ("net", ["m.XML", "m.Bin"], "OPENVINO"),
    # 3, 4
    ("net", ["m.tflite"], "TF_LITE"),
    ("net", ["M.TFLITE"], "TF_LITE"),
    ("net", ["m.trt", "m.pb"], "TensorRT"),
    # 5: "yolo_" in the lower-cased path, with a graph or a saved model
    ("YOLO_Net", ["g.pb"], "TF_YOLO"),
    ("yolo_net", ["saved_model/"], "TF_YOLO"),
    ("yolo_net", ["saved_model/variables/"], "TF_YOLO"),
    ("yolonet", ["g.pb"], "TF_V1"),
    # 6: a saved model with its graph
    ("net", ["saved_model/saved_model.pb"], "TF_V2"),
    # 6 without a graph skips 7
    ("net", ["saved_model/", "g.pb"], None),
    ("net", ["saved_model/", "g.pb", "m.weights"], "TF_V2"),
    ("net", ["saved_model/x.txt", "g.pb", "m.cfg", "m.pt"], "TORCH"),
    ("net", ["Saved_Model/", "g.pb"], "TF_V1"),  # names compare exactly
    # 7
    ("net", ["g.pb"], "TF_V1"),
    # 9: needs both
    ("net", ["m.cfg", "m.pt"], "TORCH"),
    ("net", ["m.pt"], None),
    # nothing below the directory's own level counts
    ("net", ["sub/m.tflite"], None),
    ("net", ["m.tflite/"], None),  # a directory, not a file
    ("net", ["model.tar.xz"], None),  # ".xz", not ".tar.xz"
    ("net", [], None),
]


@pytest.mark.parametrize("dirname,entries,expected", RULES,
                         ids=["%s-%s" % (d, "+".join(e) or "empty") for d, e, _ in RULES])
def test_rules_in_order(fetch, log, root, dirname, entries, expected):
    path = _make(root, dirname, entries)
    result = fetch.check_model_type(path)
    if expected is None:
        assert result is None
        assert log == [("warning", UNDETERMINED + path)]
    else:
        assert result == getattr(MODEL_TYPE, expected)
        assert log == []


def test_symlinked_file_counts(fetch, root):
    target = _make(root, "store", ["m.tflite"])
    path = _make(root, "net", [])
    os.symlink(os.path.join(target, "m.tflite"), os.path.join(path, "link.tflite"))
    assert fetch.check_model_type(model_dir=path) == MODEL_TYPE.TF_LITE


def test_path_is_taken_as_given(fetch, root, monkeypatch):
    _make(root, "yolov3", ["m.weights"])
    monkeypatch.chdir(os.path.join(root, "yolov3"))
    assert fetch.check_model_type(".") == MODEL_TYPE.TF_V2  # "." holds no "yolo"
    monkeypatch.chdir(root)
    assert fetch.check_model_type("yolov3") == MODEL_TYPE.TF_YOLO


def test_missing_directory_raises(fetch, log, root):
    with pytest.raises(FileNotFoundError):
        fetch.check_model_type(os.path.join(root, "missing"))
    assert log == []


def test_file_instead_of_directory_raises(fetch, root):
    path = os.path.join(root, "file")
    open(path, "w").close()
    with pytest.raises(NotADirectoryError):
        fetch.check_model_type(path)


class _CountingOs(object):
    """The os module with its listdir calls counted."""

    def __init__(self):
        self.path = os.path
        self.listed = []

    def listdir(self, path):
        self.listed.append(path)
        return os.listdir(path)


@pytest.mark.parametrize("dirname,entries,listings", [
    ("net", [], 8),  # 1, 2, 3, 4, 6, 7, 8, 9; step 5 stops at the path
    ("yolo_net", [], 10),  # step 5 lists for ".pb" and for "saved_model"
    ("yolov4", ["m.weights"], 1),
    ("net", ["saved_model/"], 8),  # step 6 lists saved_model too, step 7 is skipped
])
def test_every_condition_lists_again(fetch, root, monkeypatch, dirname, entries, listings):
    counting = _CountingOs()
    monkeypatch.setattr(fetch, "os", counting)
    path = _make(root, dirname, entries)
    fetch.check_model_type(path)
    assert len(counting.listed) == listings


def test_result_is_read_from_model_type_at_return(fetch, root, monkeypatch):
    class Types(object):
        TF_LITE = "lite-v2"

    monkeypatch.setattr(fetch, "MODEL_TYPE", Types)
    assert fetch.check_model_type(_make(root, "net", ["m.tflite"])) == "lite-v2"


@pytest.mark.parametrize("value,message", [
    (5, "Expected unicode, got int"),
    (b"tflite", "Expected unicode, got bytes"),
])
def test_result_must_be_a_string(fetch, root, monkeypatch, value, message):
    class Types(object):
        TF_LITE = value

    monkeypatch.setattr(fetch, "MODEL_TYPE", Types)
    with pytest.raises(TypeError) as info:
        fetch.check_model_type(_make(root, "net", ["m.tflite"]))
    assert str(info.value) == message


def test_none_result_is_passed_on(fetch, log, root, monkeypatch):
    class Types(object):
        TF_LITE = None

    monkeypatch.setattr(fetch, "MODEL_TYPE", Types)
    assert fetch.check_model_type(_make(root, "net", ["m.tflite"])) is None
    assert log == []
