"""ombrix_sdk.model.fetch as a module: its namespace, its imports, and the
signatures and argument checks of its seven functions."""

import inspect
import logging
import os
import subprocess
import sys
import textwrap

import magic
import pytest

import ombrix_sdk
from fetch_support import Member, archive_bytes

NAMESPACE = [
    "os", "time", "shutil", "requests", "tarfile", "json", "magic", "Optional", "urlparse",
    "get_logger", "MODEL_TYPE", "TOKEN_FILE", "BASE_MODEL_DIR", "MODEL_URL", "logger", "fm",
    "DOWNLOAD_MODEL_TIMEOUT", "get_device_token", "get_model_url", "download_detection_model",
    "check_model_type", "_safe_extract", "download_file", "download_url",
]

SIGNATURES = {
    "get_device_token": ([], "Optional[str]"),
    "get_model_url": ([("model_id", "str")], "Optional[str]"),
    "download_detection_model": ([("model_id", "str")], "Optional[str]"),
    "check_model_type": ([("model_dir", "str")], "Optional[str]"),
    "_safe_extract": ([("tar", "tarfile.TarFile"), ("path", "str")], "None"),
    "download_file": ([("cloud_url", "str"), ("local_file", "str")], "bool"),
    "download_url": ([("cloud_url", "str")], "Optional[str]"),
}

# (function, its str parameters, a valid value for every parameter)
STR_PARAMS = [
    ("get_model_url", "model_id", ["key"]),
    ("download_detection_model", "model_id", ["key"]),
    ("check_model_type", "model_dir", ["/nonexistent"]),
    ("_safe_extract", "path", [[], "/nonexistent"]),
    ("download_file", "cloud_url", ["http://127.0.0.1:9/x", "/nonexistent/x"]),
    ("download_file", "local_file", ["http://127.0.0.1:9/x", "/nonexistent/x"]),
    ("download_url", "cloud_url", ["http://127.0.0.1:9/x.tar.xz"]),
]


class Text(str):
    pass


def _run(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(ombrix_sdk.__file__))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    return proc


def test_namespace_holds_exactly_the_bound_names_in_order():
    # as imported: tests that remove a name and put it back move it last
    proc = _run("import ombrix_sdk.model.fetch as f; print(' '.join(vars(f)))")
    names = [n for n in proc.stdout.split() if not (n.startswith("__") and n.endswith("__"))]
    assert names == NAMESPACE, proc.stderr


def test_imported_names_are_the_real_objects(fetch):
    import json, shutil, tarfile, time, typing
    from urllib.parse import urlparse

    import requests
    from ombrix_sdk.constants import BASE_MODEL_DIR, MODEL_TYPE, MODEL_URL
    from ombrix_sdk.constants.variables import TOKEN_FILE
    from ombrix_sdk.logging import get_logger

    assert (fetch.os, fetch.time, fetch.shutil, fetch.requests) == (os, time, shutil, requests)
    assert (fetch.tarfile, fetch.json, fetch.magic) == (tarfile, json, magic)
    assert fetch.Optional is typing.Optional and fetch.urlparse is urlparse
    assert fetch.get_logger is get_logger and fetch.MODEL_TYPE is MODEL_TYPE
    assert (fetch.TOKEN_FILE, fetch.BASE_MODEL_DIR, fetch.MODEL_URL) == (
        TOKEN_FILE, BASE_MODEL_DIR, MODEL_URL)
    assert fetch.logger is get_logger("MODEL") is logging.getLogger("ombrix_sdk.MODEL")
    assert type(fetch.DOWNLOAD_MODEL_TIMEOUT) is int and fetch.DOWNLOAD_MODEL_TIMEOUT == 300


def test_fm_describes_in_words_without_looking_inside(fetch, tmp_path):
    path = tmp_path / "m.tar.xz"
    path.write_bytes(archive_bytes([Member("m/a.bin", data=b"x" * 100)]))
    assert isinstance(fetch.fm, magic.Magic)
    description = fetch.fm.from_file(str(path))
    assert description.startswith("XZ compressed data")  # words, not a MIME type
    assert "tar archive" not in description  # the compressed content is not examined


def test_import_order_of_dependencies():
    proc = _run(
        """
        import builtins, sys
        seen = []
        real_import = builtins.__import__
        def spy(name, globals=None, locals=None, fromlist=(), level=0):
            # The extension's own imports come straight from the import
            # machinery running its initialisation, not from Python code.
            if sys._getframe(1).f_code.co_name == "_call_with_frames_removed":
                seen.append((name, tuple(fromlist or ())))
            return real_import(name, globals, locals, fromlist, level)
        builtins.__import__ = spy
        import ombrix_sdk.model.fetch
        builtins.__import__ = real_import
        for name, fromlist in seen:
            print(name)
        """)
    assert proc.returncode == 0, proc.stderr
    wanted = ["os", "time", "shutil", "requests", "tarfile", "json", "magic", "typing",
              "urllib.parse", "ombrix_sdk.logging", "ombrix_sdk.constants",
              "ombrix_sdk.constants.variables", "ombrix_sdk.constants"]
    got = [n for n in proc.stdout.split() if n in wanted]
    # one `from ... import a, b` may import once per name
    got = [n for i, n in enumerate(got) if i == 0 or got[i - 1] != n]
    assert got == wanted


@pytest.mark.parametrize("blocked", ["shutil", "requests", "magic", "ombrix_sdk.constants"])
def test_failing_dependency_fails_the_import(blocked):
    proc = _run(
        """
        import sys
        sys.modules[%r] = None
        try:
            import ombrix_sdk.model.fetch
        except ImportError as e:
            print("ImportError", "ombrix_sdk.model.fetch" in sys.modules)
        """ % blocked)
    assert proc.stdout.split() == ["ImportError", "False"], proc.stderr


def test_second_import_returns_the_same_module(fetch):
    import importlib

    assert importlib.import_module("ombrix_sdk.model.fetch") is fetch


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signature_and_annotations(fetch, name):
    params, returns = SIGNATURES[name]
    fn = getattr(fetch, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "ombrix_sdk.model.fetch"
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    expected = dict(params)
    expected["return"] = returns
    assert fn.__annotations__ == expected
    sig = inspect.signature(fn)
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty) for p, _ in params]
    assert isinstance(fn.__doc__, str) and fn.__doc__


@pytest.mark.parametrize("bad", [None, 5, b"key", Text("key")],
                         ids=["None", "int", "bytes", "str-subclass"])
@pytest.mark.parametrize("name,param,valid", STR_PARAMS,
                         ids=[n + "." + p for n, p, _ in STR_PARAMS])
def test_str_parameters_take_exactly_str(fetch, log, name, param, valid, bad):
    params = [p for p, _ in SIGNATURES[name][0]]
    args = list(valid)
    args[params.index(param)] = bad
    message = "Argument '%s' has incorrect type (expected str, got %s)" % (
        param, type(bad).__name__)
    fn = getattr(fetch, name)
    with pytest.raises(TypeError) as positional:
        fn(*args)
    with pytest.raises(TypeError) as by_keyword:
        fn(**dict(zip(params, args)))
    assert str(positional.value) == str(by_keyword.value) == message
    assert log == []


@pytest.mark.parametrize("name,args,message", [
    ("get_device_token", (1,), "get_device_token() takes exactly 0 positional arguments (1 given)"),
    ("get_model_url", (), "get_model_url() takes exactly 1 positional argument (0 given)"),
    ("get_model_url", ("a", "b"), "get_model_url() takes exactly 1 positional argument (2 given)"),
    ("download_detection_model", (),
     "download_detection_model() takes exactly 1 positional argument (0 given)"),
    ("check_model_type", ("a", "b"),
     "check_model_type() takes exactly 1 positional argument (2 given)"),
    ("_safe_extract", ([],), "_safe_extract() takes exactly 2 positional arguments (1 given)"),
    ("download_file", ("a",), "download_file() takes exactly 2 positional arguments (1 given)"),
    ("download_url", (), "download_url() takes exactly 1 positional argument (0 given)"),
])
def test_argument_count_messages(fetch, log, name, args, message):
    with pytest.raises(TypeError) as info:
        getattr(fetch, name)(*args)
    assert str(info.value) == message
    assert log == []


@pytest.mark.parametrize("name,kwargs", [
    ("get_model_url", {"model": "a"}),
    ("download_file", {"cloud_url": "a", "local_file": "b", "timeout": 1}),
])
def test_unknown_keywords_are_refused(fetch, name, kwargs):
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        getattr(fetch, name)(**kwargs)


def test_repeated_argument_is_refused(fetch):
    with pytest.raises(TypeError, match="multiple values for argument 'model_id'"):
        fetch.get_model_url("a", model_id="b")
