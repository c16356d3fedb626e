"""TideQueue in sub-interpreters.

Each interpreter that imports the module gets a module of its own, with its
own state: names, the standard-library objects it compares against, its
function type and its dict watcher. Every scenario runs in a fresh process
with the debug allocator, so that a state shared between interpreters shows
as a crash or a wrong result.
"""
import os
import subprocess
import sys
import textwrap

import pytest

from subinterpreter_harness import HARNESS

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

QUEUE_WORK = '''
from ombrix_sdk.structures.tideq import TideQueue
q = TideQueue(3)
for i in range(N):
    q.put(i)
drained = q.drain_fast(2)
print(drained, list(q.queue), q.unfinished_tasks, type(TideQueue.put).__name__, file=out)
'''


def run(code, timeout=180):
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1")
    proc = subprocess.run([sys.executable, "-c", HARNESS + textwrap.dedent(code)], cwd=ROOT, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def expected(n):
    return "[%d, %d] [%d] %d native_function\n" % (n - 3, n - 2, n - 1, n - 2)


isolated = pytest.mark.skipif(sys.version_info < (3, 12),
                              reason="sub-interpreters with a GIL of their own come with 3.12")


@pytest.mark.parametrize("kind", ["legacy", pytest.param("isolated", marks=isolated)])
def test_queue_in_a_sub_interpreter(kind):
    pytest.importorskip("_testcapi")
    out = run('''
import ombrix_sdk.structures.tideq as main_copy
print(in_interpreter(%r, "N = 10\\n" + %r), end="")
q = main_copy.TideQueue(2)
q.put("main")
print(list(q.queue))
''' % (kind, QUEUE_WORK))
    assert out == expected(10) + "['main']\n"


@isolated
def test_two_interpreters_at_once():
    # A sub-interpreter with its own GIL works its queues in a thread while
    # the main interpreter works its own: both run at the same time.
    pytest.importorskip("_testcapi")
    out = run('''
from ombrix_sdk.structures.tideq import TideQueue
results = {}
def other():
    results["sub"] = in_interpreter("isolated", "N = 200000\\n" + %r)
t = threading.Thread(target=other)
t.start()
q = TideQueue(3)
for i in range(200000):
    q.put(i)
t.join()
print(results["sub"], end="")
print(q.drain_fast(2), list(q.queue), q.unfinished_tasks)
''' % QUEUE_WORK)
    assert out == expected(200000) + "[199997, 199998] [199999] 199998\n"


@isolated
def test_another_extensions_watcher_in_a_sub_interpreter():
    # The sub-interpreter has its own dict watchers: another extension's there
    # must not stand in for the module's, whose changes must all be seen.
    pytest.importorskip("_testcapi")
    out = run('''
import ombrix_sdk.structures.tideq
print(in_interpreter("legacy", """
import _testcapi
from ombrix_sdk.structures.tideq import TideQueue
_testcapi.add_dict_watcher(2)
q = TideQueue(3)
q.maxsize = int("9" * 30); q.put(1)
q.maxsize = int("8" * 30); q.put(2)
q.maxsize = 2; q.put(3)
print(list(q.queue), q.unfinished_tasks, file=out)
"""), end="")
''')
    assert out == "[2, 3] 3\n"
