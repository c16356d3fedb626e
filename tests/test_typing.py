"""The typed, discoverable API: stubs, py.typed, signatures seen by help().

mypy (from the test extra) checks a usage file against the installed stubs,
a file of misuse that the stubs must reject, and stubtest compares each stub
with the module it describes.
"""
import importlib
import importlib.util
import inspect
import os
import pydoc
import re
import subprocess
import sys

import pytest

import ombrix_sdk

HERE = os.path.dirname(os.path.abspath(__file__))
USAGE = os.path.join(HERE, "typing_usage.py")
MISUSE = os.path.join(HERE, "typing_errors.py")

NATIVE = [
    "ombrix_sdk.structures.tideq",
    "ombrix_sdk.roi.zone_warden",
    "ombrix_sdk.model.fetch",
]
STAND_INS = [
    "ombrix_sdk.logging",
    "ombrix_sdk.logging.log_id",
    "ombrix_sdk.constants",
    "ombrix_sdk.constants.variables",
]
# stubtest cannot model the constructor that Enum gives a str mix-in.
STUBTEST_ALLOWLIST = [
    r"ombrix_sdk\.logging\.log_id\.(EventType|ErrorType)\.__new__",
]
if sys.version_info < (3, 11):
    # The queue module binds typing.Any, which the stub re-exports. Before 3.11
    # typing.Any is no class, and stubtest then reports "Any is not a type".
    STUBTEST_ALLOWLIST.append(r"ombrix_sdk\.structures\.tideq\.Any")
MYPY_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): (?P<kind>error|note): (?P<text>.*)$")


def _run(args, cwd, timeout=300):
    return subprocess.run(
        [sys.executable] + args,
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=timeout,
    )


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """One mypy --strict run over both files: {file: {line: [messages]}}."""
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    cwd = str(tmp_path_factory.mktemp("mypy"))  # no config file, no cache
    proc = _run(
        ["-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--show-error-codes", "--no-error-summary", "--no-color-output", USAGE, MISUSE],
        cwd,
    )
    report = {USAGE: {}, MISUSE: {}}
    for raw in proc.stdout.splitlines():
        m = MYPY_LINE.match(raw)
        assert m, "unexpected mypy output: %r\n%s" % (raw, proc.stdout)
        if m.group("kind") == "error":
            path = os.path.abspath(os.path.join(cwd, m.group("path")))
            report[path].setdefault(int(m.group("line")), []).append(m.group("text"))
    return report


def test_py_typed_marker_is_installed():
    assert os.path.isfile(os.path.join(os.path.dirname(ombrix_sdk.__file__), "py.typed"))


@pytest.mark.parametrize("module", NATIVE + STAND_INS)
def test_stub_is_installed_beside_its_module(module):
    spec = importlib.util.find_spec(module)
    assert spec is not None and spec.origin, module
    if spec.origin.endswith("__init__.py"):
        stub = spec.origin[:-3] + ".pyi"
    else:
        stub = os.path.join(os.path.dirname(spec.origin), module.rsplit(".", 1)[1] + ".pyi")
    assert os.path.isfile(stub), stub


def test_usage_type_checks_under_strict(mypy_report):
    assert mypy_report[USAGE] == {}


def test_misuse_is_rejected_exactly_where_marked(mypy_report):
    expected = {}
    with open(MISUSE) as f:
        for number, line in enumerate(f, 1):
            if "# error: " in line:
                expected[number] = line.split("# error: ", 1)[1].strip()
    assert len(expected) >= 10
    found = mypy_report[MISUSE]
    assert sorted(found) == sorted(expected)
    for number, text in expected.items():
        assert any(text in message for message in found[number]), (number, found[number])


@pytest.mark.parametrize("module", NATIVE + STAND_INS)
def test_stub_agrees_with_runtime(module, tmp_path):
    """Names, parameter names, kinds and defaults of the stub against the
    module as the interpreter sees it (stubtest imports the real module)."""
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(STUBTEST_ALLOWLIST) + "\n")
    proc = _run(
        ["-m", "mypy.stubtest", "--concise", "--ignore-unused-allowlist",
         "--allowlist", str(allowlist), module],
        str(tmp_path),
    )
    assert proc.returncode == 0, proc.stdout


def _callables(module_name):
    """(qualified name, function) for the functions and methods that the
    module defines, static methods unwrapped."""
    module = importlib.import_module(module_name)
    for name, obj in vars(module).items():
        if getattr(obj, "__module__", None) != module_name:
            continue
        if inspect.isclass(obj):
            for attr, member in vars(obj).items():
                if attr.startswith("__") and attr != "__init__":
                    continue
                if isinstance(member, staticmethod):
                    member = member.__func__
                if callable(member):
                    yield obj, name + "." + attr, member
        elif callable(obj):
            yield None, name, obj


def _as_help_shows(sig):
    """The signature as this interpreter's help() prints it: from 3.14 on,
    pydoc writes string annotations bare (batch_size: int), before that as
    their repr (batch_size: 'int')."""
    fmt = getattr(sig, "format", None)
    if fmt is not None and "quote_annotation_strings" in inspect.signature(fmt).parameters:
        return fmt(quote_annotation_strings=False)
    return str(sig)


def _unwrapped(text):
    """Newer pydoc breaks long signatures over several lines; compare them flat."""
    text = re.sub(r"(?m)^ \|", "", text)  # the margin of help() on a class
    return re.sub(r"\(\s+", "(", re.sub(r",\s+", ", ", re.sub(r",?\s*\)", ")", text)))


@pytest.mark.parametrize("module", NATIVE)
def test_help_and_signature_show_the_real_parameters(module):
    seen = 0
    for cls, qualname, func in _callables(module):
        seen += 1
        sig = inspect.signature(func)
        names = list(sig.parameters)
        assert all(p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
                   for p in sig.parameters.values()), (qualname, sig)
        assert func.__qualname__ == qualname
        line = _unwrapped(func.__name__ + _as_help_shows(sig))
        assert line in _unwrapped(pydoc.render_doc(func, renderer=pydoc.plaintext)), qualname
        if cls is not None and (not func.__name__.startswith("_") or func.__name__ == "__init__"):
            # help() on a class lists its public methods and __init__
            assert line in _unwrapped(pydoc.render_doc(cls, renderer=pydoc.plaintext)), qualname
        if cls is not None:
            if not isinstance(vars(cls)[func.__name__], staticmethod):
                assert names[0] == "self", qualname
    assert seen >= 3
