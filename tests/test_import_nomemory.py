"""Failed allocations while a module is set up: a fresh module object of each
extension, made and run as an import makes and runs it, gives a
MemoryError (or a library's own report of the failure), or a module that
works; never a crash, and never an error the module failed to set."""

import functools
import os
import subprocess
import sys

import pytest

# Classes made, each under a failed allocation in turn, and made again: CPython
# 3.13.0 crashes on the second (a failed resize of the new class's dict frees
# what it still holds), whatever module makes them.
CLASSES_AGAIN = """
import _testcapi, gc
names = tuple("slot_%d" % i for i in range(12))
for k in range(60):
    _testcapi.set_nomemory(k, k + 1)
    try:
        type("C", (), {"__slots__": names})
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
    type("C", (), {"__slots__": names})
    gc.collect()
"""


@functools.lru_cache(maxsize=None)
def _classes_survive_failed_allocations():
    proc = subprocess.run([sys.executable, "-c", CLASSES_AGAIN],
                          env=dict(os.environ, PYTHONMALLOC="debug"),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return proc.returncode == 0


COMMON = """
import _imp, importlib, inspect
import ombrix_sdk.logging

class Quiet(object):
    def __getattr__(self, name):
        return lambda *args, **kwargs: None

# The module asks for its logger while it is set up: the logging package's
# own failures are not the module's.
ombrix_sdk.logging.get_logger = lambda label: Quiet()
INSTALLED = importlib.import_module(NAME)
PUBLIC = sorted(n for n in vars(INSTALLED) if not n.startswith("__"))
invariant = lambda state: None
# threading.Lock(), and the libraries the module imports, report some failed
# allocations in their own ways
allowed = lambda e: str(e) == "can't allocate lock" or library_fault(e)

def prepare():
    return None

def op(_):
    module = _imp.create_dynamic(INSTALLED.__spec__)
    _imp.exec_dynamic(module)
    return module

def check(_, module):
    if sorted(n for n in vars(module) if not n.startswith("__")) != PUBLIC:
        return None
    for value in vars(module).values():
        if inspect.isfunction(value) or inspect.isclass(value):
            inspect.signature(value)
    return "result" if works(module) else None
"""

WORKS = {
    "ombrix_sdk.structures.tideq": """
def works(module):
    q = module.TideQueue(2)
    for i in range(3):
        q.put(i)
    return q.drain_fast(5) == [1, 2]
""",
    "ombrix_sdk.roi.zone_warden": """
class Det(object):
    def __init__(self, tlwh):
        self.tlwh = tlwh

def works(module):
    w = module.ZoneWarden([{"roi_id": "a", "include": True,
                            "points": [[0, 0], [1, 0], [1, 1], [0, 1]]}])
    kept = w.filter_in_roi([Det((.5, .5, 0, 0)), Det((2, 2, 0, 0))], None, (0, 0))
    return [k.roi_id for k in kept] == [["a"]]
""",
    "ombrix_sdk.model.fetch": """
import atexit, os, shutil, tempfile
MODEL = tempfile.mkdtemp()
atexit.register(shutil.rmtree, MODEL)
for part in ("model.xml", "model.bin"):
    with open(os.path.join(MODEL, part), "wb") as f:
        f.write(b"<?xml version='1.0'?><net/>")

def works(module):
    return module.check_model_type(MODEL) == "openvino"
""",
}


@pytest.mark.parametrize("name", sorted(WORKS))
def test_failed_allocations_while_a_module_is_set_up(nomemory_sweep, name):
    if not _classes_survive_failed_allocations():
        pytest.skip("this interpreter crashes by itself making a class again after making "
                    "one failed for want of memory")
    nomemory_sweep("import " + name, "NAME = %r\n%s%s" % (name, COMMON, WORKS[name]),
                   trials=range(0, 700))


@pytest.mark.parametrize("name", sorted(WORKS))
def test_a_name_its_collaborator_lacks_fails_the_import_as_from_import_does(name, monkeypatch):
    import _imp
    import importlib
    import ombrix_sdk.logging

    spec = importlib.import_module(name).__spec__
    monkeypatch.delattr(ombrix_sdk.logging, "get_logger")
    errors = []
    for attempt in (lambda: _imp.exec_dynamic(_imp.create_dynamic(spec)),
                    lambda: exec("from ombrix_sdk.logging import get_logger", {})):
        with pytest.raises(ImportError) as info:
            attempt()
        errors.append((type(info.value), str(info.value), info.value.name, info.value.path))
    assert errors[0] == errors[1]
