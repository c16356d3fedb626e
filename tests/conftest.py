import faulthandler
import json
import os
import re
import signal
import subprocess
import sys

import pytest

# The plain-Python reference implementations live beside the benchmarks; the
# package under test itself always comes from the installed distribution.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.append(ROOT)

_src = os.path.join(ROOT, "src")
if any(os.path.abspath(p or os.curdir) == _src for p in sys.path):
    raise RuntimeError("tests must run against the installed package, not src/")

# No test may stall the run: past this many seconds (setup, call and teardown
# together) every thread's stack is written to stderr and the process ends
# with a failure. OMBRIX_TEST_TIME_LIMIT changes it (slow emulated machines);
# 0 turns it off.
TIME_LIMIT = float(os.environ.get("OMBRIX_TEST_TIME_LIMIT", "900"))
_stderr = []  # the terminal's stderr, not the one a test's output is captured in

# Set by scripts/test-aarch64 when the suite runs under qemu-user emulation,
# many times slower than the device: the tests marked not_emulated(reason),
# which measure time or kill processes against tight deadlines, are skipped
# there with their reason.
EMULATED = os.environ.get("OMBRIX_EMULATED", "") not in ("", "0")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_emulated(reason): measures time or kills processes against deadlines that "
                   "an emulated CPU cannot keep; skipped when OMBRIX_EMULATED is set")
    capture = config.pluginmanager.getplugin("capturemanager")
    if capture:
        capture.suspend_global_capture(in_=True)
    try:
        _stderr.append(os.dup(2))
    finally:
        if capture:
            capture.resume_global_capture()


def pytest_collection_modifyitems(config, items):
    for item in items:
        marker = item.get_closest_marker("not_emulated")
        if marker is None:
            continue
        reason = marker.kwargs.get("reason") or (marker.args[0] if marker.args else "")
        if not reason:
            raise pytest.UsageError("%s: not_emulated needs a reason" % item.nodeid)
        if EMULATED:
            item.add_marker(pytest.mark.skip(reason="under emulation: " + reason))


def _arm():
    if TIME_LIMIT > 0:
        faulthandler.dump_traceback_later(TIME_LIMIT, exit=True, file=_stderr[0])


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    _arm()
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def pytest_unconfigure(config):
    # The end of the run too: the interpreter waits for threads a test left
    # behind before it exits.
    _arm()


# --- allocation failures ---------------------------------------------------------

SWEEP = r"""
import faulthandler, json, signal, sys
import _testcapi

faulthandler.register(signal.SIGALRM, all_threads=True, chain=True)

allowed = lambda e: False


def library_fault(e):
    # An error raised in the code of the interpreter or of a library that the
    # module called, not at the call of the module's function from here.
    tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_filename != "<string>"


%s

for k in TRIALS:
    state = prepare()
    # A trial that hangs (past TRIAL_LIMIT seconds) writes every thread's
    # stack and ends the child: SIGALRM, dumped by faulthandler then taken
    # by its default action. No watchdog thread: a thread starting or ending
    # while the allocator hooks are swapped can free through the wrong one.
    print("start %%d" %% k, flush=True)
    signal.alarm(TRIAL_LIMIT)
    _testcapi.set_nomemory(k, k + 1)  # only allocation k + 1 from here on fails
    try:
        result = op(state)
        verdict = None
    except Exception as e:
        if not isinstance(e, MemoryError) and not allowed(e):
            raise
        verdict = type(e).__name__
    finally:
        _testcapi.remove_mem_hooks()
        signal.alarm(0)
    if verdict is None:
        verdict = check(state, result)
        assert verdict in ("result", "documented"), (k, result)
    invariant(state)
    print("verdict %%s" %% verdict, flush=True)
state = prepare()
assert check(state, op(state)) == "result"  # and nothing was left broken
print("done", flush=True)
"""


def _top_frame(stderr):
    """(file, function) of the first stack faulthandler wrote, if any."""
    top = re.search(r'most recent call first\):\n\s+File "([^"]+)", line \d+ in (\S+)', stderr)
    return top.groups() if top else None


def _sweep(name, code, trials=range(0, 121), args=(), timeout=600, library_hangs=()):
    """Runs `code`, which defines prepare(), op(state), check(state, result)
    (giving "result", or "documented" for the documented failure value),
    invariant(state) and optionally allowed(exception) (the interpreter's own
    reports of a failed allocation other than MemoryError), in a child
    interpreter under PYTHONMALLOC=debug, with allocation k + 1 of op failing
    for each k of `trials`. Every trial must give a MemoryError or what check
    accepts, and the child must not crash or hang; returns the outcomes
    counted.

    A library can hang itself under a failed allocation: Python code that
    takes a lock with `with` loses it when the allocation fails between the
    acquisition and the block, and waits on it for ever the next time.
    Where the stack of a hung trial passes through a library named in
    `library_hangs` (paths containing one of those strings) and its top is
    not the test's own code, the trial counts as "library hang" and the
    sweep goes on in a new child from the next trial; so does a trial in
    which the interpreter or a library crashes by itself ("library crash").
    After three such trials, a fourth crash skips the test and a fourth hang
    fails it."""
    trials, counts, resumed = list(trials), {}, 0
    limit = max(min(int(timeout / 4), 60), 1)  # seconds a trial may take
    while True:
        child = "TRIALS = %r\nTRIAL_LIMIT = %d\n%s" % (trials, limit, code)
        env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1")
        proc = subprocess.run([sys.executable, "-c", SWEEP % child] + list(args), env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=timeout)
        lines = proc.stdout.splitlines()
        for line in lines:
            if line.startswith("verdict "):
                verdict = line.split(" ", 1)[1]
                counts[verdict] = counts.get(verdict, 0) + 1
        # A crash with Python code on top is the interpreter's or a library's
        # (the module's functions leave no frame of their own). Under the
        # address sanitizer the child exits with 1 after faulthandler's report.
        top = _top_frame(proc.stderr)
        by_itself = top and top[0] != "<string>"
        hung = proc.returncode == -signal.SIGALRM
        crashed = not hung and (proc.returncode < 0 or
                                "Fatal Python error: Segmentation fault" in proc.stderr)
        if hung and not any(lib in proc.stderr for lib in library_hangs):
            by_itself = False
        if not (by_itself and (hung or crashed)):
            break
        started = [l for l in lines if l.startswith("start ")]
        if resumed == 3 or not started:
            if crashed:
                pytest.skip("%s: the interpreter or a library crashes by itself under failed "
                            "allocations, in %s (%s)" % (name, top[1], top[0]))
            break
        # That trial is the library's; the sweep goes on from the next one.
        resumed += 1
        k = int(started[-1].split()[1])
        outcome = "library hang" if hung else "library crash"
        counts[outcome] = counts.get(outcome, 0) + 1
        sys.stderr.write("allocation failures, %s: trial %d, %s in %s (%s)\n" % (
            name, k, outcome, top[1], top[0]))
        trials = trials[trials.index(k) + 1:]
    assert proc.returncode == 0 and lines and lines[-1] == "done", proc.stderr[-4000:]
    sys.stderr.write("allocation failures, %s, Python %d.%d: %s\n" % (
        name, sys.version_info[0], sys.version_info[1], counts))
    assert set(counts) - {"result"}, counts  # the sweep did make allocations fail
    return counts


@pytest.fixture
def nomemory_sweep():
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot make allocations fail (_testcapi.set_nomemory)")
    return _sweep
