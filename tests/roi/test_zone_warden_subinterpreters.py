"""The region filter in sub-interpreters. It keeps everything per
interpreter, so a sub-interpreter sharing the main one's GIL (a legacy one)
filters as the main one does, also while the main one filters at the same
time. numpy and shapely refuse sub-interpreters with a GIL of their own;
importing the filter there fails with an ImportError that says so."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

_testcapi = pytest.importorskip("_testcapi")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Filters a fixed frame `rounds` times and writes what it got, per round, to
# the file `out` (in JSON).
FILTER = '''
import json, warnings
warnings.simplefilter("ignore")          # numpy warns about sub-interpreters
class Det:
    def __init__(self, t):
        self.tlwh = t
class Track:
    def __init__(self, t):
        self.tlwh, self.info = t, {}
def filtered(zw):
    records = [
        {"include": True, "points": [[.2, .2], [.8, .2], [.8, .8], [.2, .8]], "roi_id": "o",
         "label": "outer"},
        {"include": False, "points": [[.4, .4], [.6, .4], [.6, .6], [.4, .6]], "roi_id": "x"},
        {"include": True, "points": [[.5, .5], [.95, .5], [.95, .95], [.5, .95]], "roi_id": "c",
         "label": "corner"},
    ]
    w = zw.ZoneWarden(records, [640, 480])
    frame = [Det([64 * i, 48 * j, 20, 10]) for i in range(10) for j in range(10)]
    frame += [Track([.05 * i, .05 * i, .1, .1]) for i in range(20)]
    seen = []
    for _ in range(%(rounds)d):
        kept = w.filter_in_roi(frame)
        seen.append([[next(i for i, f in enumerate(frame) if f.tlwh is k.tlwh),
                      vars(k).get("roi_id") or k.info.get("roi_id"),
                      vars(k).get("roi_name") or k.info.get("roi_name")] for k in kept])
    return {"rounds": seen}
try:
    import ombrix_sdk.roi.zone_warden as zw
    found = filtered(zw)
except ImportError as e:
    # numpy loads in one interpreter per process only: the whole chain
    chain = []
    while e is not None:
        chain.append(str(e))
        e = e.__cause__ or e.__context__
    found = {"refused": " <- ".join(chain)}
with open(%(out)r, "w") as f:
    json.dump(found, f)
'''


NUMPY_REFUSALS = ("cannot load module more than once per process",
                  "can only be loaded into one interpreter per process",
                  "numpy._core.multiarray failed to import",
                  "failed to import from subinterpreter due to exception")


def run_fresh(code):
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1")
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, cwd=ROOT,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)
    assert proc.returncode == 0, "exit %d\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr)
    return proc.stdout


def filter_code(out, rounds=1):
    return FILTER % {"out": str(out), "rounds": rounds}


def read(path):
    with open(str(path)) as f:
        return json.load(f)


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    out = tmp_path_factory.mktemp("main") / "main.json"
    run_fresh(filter_code(out))
    found = read(out)["rounds"][0]
    assert found, "the frame keeps something"
    return found


@pytest.mark.parametrize("together", [False, True], ids=["alone", "with-the-main-one"])
def test_a_legacy_sub_interpreter_filters_as_the_main_one(tmp_path, expected, together):
    main_out, sub_out = tmp_path / "main.json", tmp_path / "sub.json"
    # With `together`, a thread of the main interpreter filters for as long
    # as the sub-interpreter does; the two switch at the GIL. The main one
    # imports the filter first: numpy loads in one interpreter per process,
    # and two first imports racing each other crash 3.7 by themselves.
    run_fresh('''
import sys, threading, _testcapi
together = %r
if together:
    try:
        import ombrix_sdk.roi.zone_warden
    except ImportError:
        pass
sys.setswitchinterval(1e-5)
main_code = %r
done = threading.Event()
def main_filters():
    exec(main_code, {})
    done.set()
if together:
    threading.Thread(target=main_filters).start()
assert _testcapi.run_in_subinterp(%r) == 0
if together:
    assert done.wait(120)
''' % (together, filter_code(main_out, rounds=40), filter_code(sub_out, rounds=40)))
    outcomes = [read(sub_out)] + ([read(main_out)] if together else [])
    for found in outcomes:
        # numpy initialises its extension in one interpreter per process: a
        # second interpreter, or shapely's import of numpy's C API in a
        # legacy sub-interpreter on 3.13 and 3.14, is refused.
        if any(text in found.get("refused", "") for text in NUMPY_REFUSALS):
            pytest.skip("numpy does not load here: " + found["refused"])
    for found in outcomes:
        assert all(r == expected for r in found["rounds"])


def isolated_import_code(out):
    # What importing the filter in an isolated sub-interpreter raises.
    inner = '''
import json
try:
    import ombrix_sdk.roi.zone_warden
    found = ["imported"]
except ImportError as e:
    found = [type(e).__name__, str(e), type(e.__cause__).__name__, str(e.__cause__)]
with open(%r, "w") as f:
    json.dump(found, f)
''' % str(out)
    return '''
import sys
try:
    import _interpreters as interpreters           # 3.13 on
    interp = interpreters.create("isolated")
except ImportError:
    import _xxsubinterpreters as interpreters      # 3.12
    interp = interpreters.create(isolated=True)
interpreters.run_string(interp, %r)
interpreters.destroy(interp)
''' % inner


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters have a GIL of their own from 3.12 on")
def test_an_isolated_sub_interpreter_is_refused_with_the_reason(tmp_path):
    out = tmp_path / "isolated.json"
    run_fresh(isolated_import_code(out))
    kind, message, cause_kind, cause = read(out)
    assert (kind, message) == (
        "ImportError", "ombrix_sdk.roi.zone_warden cannot be imported in an isolated "
        "sub-interpreter: numpy and shapely do not support them")
    assert cause_kind == "ImportError"
    assert "numpy" in cause or "shapely" in cause
