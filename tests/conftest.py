import faulthandler
import os
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


def pytest_configure(config):
    capture = config.pluginmanager.getplugin("capturemanager")
    if capture:
        capture.suspend_global_capture(in_=True)
    try:
        _stderr.append(os.dup(2))
    finally:
        if capture:
            capture.resume_global_capture()


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
