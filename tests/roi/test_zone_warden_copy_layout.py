"""The region filter's direct copy never stands in the way of an import.

When the `copy` module is not laid out as the direct copy expects (as on an
interpreter whose `copy.copy` works differently), the module still imports
and copies through `copy.copy`. Both ways give the same copies.
"""
import copy
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# A key in a module's namespace with the hash of a name copy.copy reads
# there (at each copy), whose comparisons count (CALLS).
NAMESPACE_KEY = ("import copyreg\n"
                 "class K:\n"
                 "    __hash__ = lambda self: hash(%(name)r)\n"
                 "    __eq__ = lambda self, other: CALLS.append(1) or False\n"
                 "d = vars(%(module)s); f = d.pop(%(name)r); d[K()] = 0; d[%(name)r] = f")

# Ways the copy module may look to the region filter at its import.
LAYOUTS = {
    # the copy module given a module subclass that counts reads of `copy`
    "module-subclass": "class Counting(type(sys)):\n"
                       "    def __getattribute__(self, name):\n"
                       "        if name == 'copy':\n"
                       "            CALLS.append(1)\n"
                       "        return super().__getattribute__(name)\n"
                       "copy.__class__ = Counting",
    "copy-namespace-key": NAMESPACE_KEY % {"module": "copy", "name": "_reconstruct"},
    "copyreg-namespace-key": NAMESPACE_KEY % {"module": "copyreg", "name": "__newobj__"},
    "as-shipped": "",
    # the tables copy.copy consults first (a dict up to 3.13, sets from 3.14
    # on) replaced by look-alikes copy.copy still works with
    "other-class-tables": "for name in ('_copy_dispatch', '_copy_atomic_types', "
                          "'_copy_builtin_containers'):\n"
                          "    if name in vars(copy):\n"
                          "        table = getattr(copy, name)\n"
                          "        setattr(copy, name, type('Other', (type(table),), {})(table))",
    # copy.copy as 3.14 has it: class sets instead of the dispatch dict
    "layout-of-3.14": "exec(COPY_314, vars(copy)); copy.__dict__.pop('_copy_dispatch', None)",
    # wrappers that count their calls (CALLS): copy.copy calls them for
    # every copy the direct copy would have made
    "wrapped-reconstruct": "copy._reconstruct = (lambda f: lambda *a, **k: (CALLS.append(1), "
                           "f(*a, **k))[1])(copy._reconstruct)",
    "foreign-copy-function": "copy.copy = (lambda f: lambda x: (CALLS.append(1), f(x))[1])"
                             "(copy.copy)",
    # a key in copyreg hashed as "__newobj__", met first when the name is
    # looked up, whose comparison raises during an import: the filter's own
    # lookup of the name fails there and the name counts as absent
    "raising-key": "import copyreg\n"
                   "class Raises:\n"
                   "    __hash__ = lambda self: hash('__newobj__')\n"
                   "    def __eq__(self, other):\n"
                   "        return 'importlib' in sys._getframe(1).f_code.co_filename and 1 / 0\n"
                   "d = vars(copyreg); f = d.pop('__newobj__')\n"
                   "d[Raises()] = 0; d['__newobj__'] = f",
    "not-a-module": "sys.modules['copy'] = type('FakeCopy', (), {'copy': staticmethod(copy.copy),"
                    " 'deepcopy': staticmethod(copy.deepcopy)})()",
}

COPY_314 = """
import types, weakref

def copy(x):
    cls = type(x)
    if cls in _copy_atomic_types:
        return x
    if cls in _copy_builtin_containers:
        return cls.copy(x)
    if issubclass(cls, type):
        return x
    copier = getattr(cls, "__copy__", None)
    if copier is not None:
        return copier(x)
    reductor = dispatch_table.get(cls)
    if reductor is not None:
        rv = reductor(x)
    else:
        reductor = getattr(x, "__reduce_ex__", None)
        if reductor is not None:
            rv = reductor(4)
        else:
            reductor = getattr(x, "__reduce__", None)
            if reductor:
                rv = reductor()
            else:
                raise Error("un(shallow)copyable object of type %s" % cls)
    if isinstance(rv, str):
        return x
    return _reconstruct(x, None, *rv)

_copy_atomic_types = {type(None), int, float, bool, complex, str, tuple, bytes, frozenset, type,
                      range, slice, property, types.BuiltinFunctionType, type(Ellipsis),
                      type(NotImplemented), types.FunctionType, types.CodeType, weakref.ref, super}
_copy_builtin_containers = {list, dict, set, bytearray}
"""

# Items of several kinds, filtered twice so that cached decisions are used;
# the output records what a caller can see of the copies.
SCENARIO = '''
import copy, sys
COPY_314 = %r
CALLS = []
LATER = %r
%s
from ombrix_sdk.roi.zone_warden import ZoneWarden

class Det:
    def __init__(self, tlwh):
        self.tlwh = tlwh

class Track(Det):
    def __init__(self, tlwh):
        Det.__init__(self, tlwh)
        self.info = {"rect": tlwh, "n": [1]}

class Slotted:
    __slots__ = ("tlwh", "roi_id", "roi_name", "__dict__")
    def __init__(self, tlwh):
        self.tlwh = tlwh

class OwnCopy(Det):
    def __copy__(self):
        c = Det(self.tlwh)
        c.copied_by = "own"
        return c

class Stateful(Det):
    def __getstate__(self):
        return {"tlwh": self.tlwh, "extra": 1}

zw = ZoneWarden([{"include": True, "points": [[0.1, 0.1], [0.9, 0.1], [0.9, 0.9], [0.1, 0.9]],
                  "roi_id": "r1", "label": "one"}])
items = [Det([0.4, 0.4, 0.1, 0.1]), Track([0.3, 0.3, 0.2, 0.2]), Slotted([0.5, 0.5, 0.1, 0.1]),
         OwnCopy([0.2, 0.2, 0.1, 0.1]), Stateful([0.6, 0.6, 0.1, 0.1]), Det([0.95, 0.95, 0.01, 0.01])]
for round_ in range(2):
    if round_:
        exec(LATER)
    out = zw.filter_in_roi(items)
    for item, kept in zip(items, out):
        state = dict(vars(kept)) if hasattr(kept, "__dict__") else {}
        for name in ("tlwh", "roi_id", "roi_name"):
            if hasattr(kept, name):
                state[name] = getattr(kept, name)
        print(type(kept).__name__, kept is item, sorted(state.items(), key=repr),
              getattr(kept, "info", None) is getattr(item, "info", None))
    print(len(out), [vars(i) if hasattr(i, "__dict__") else None for i in items[:2]])
print("calls", len(CALLS))
'''


# The module's `copy` rebound to a look-alike: every copy goes through
# copy.copy, as the copy module has it at the moment.
THROUGH_COPY_COPY = (
    "from ombrix_sdk.roi import zone_warden\n"
    "zone_warden.copy = type(sys)('copy'); zone_warden.copy.copy = lambda x: copy.copy(x)\n"
    "zone_warden.copy.deepcopy = copy.deepcopy\n"
    "ZoneWarden = zone_warden.ZoneWarden")


def run(layout, through_copy_copy=False, later=False):
    """The scenario with the copy module laid out as `layout` before the
    filter's import, or (later) between its two rounds."""
    scenario = SCENARIO
    if through_copy_copy:
        scenario = scenario.replace("from ombrix_sdk.roi.zone_warden import ZoneWarden",
                                    THROUGH_COPY_COPY)
    # One hash seed for every run: how often a lookup compares a colliding
    # key depends on where the dict put its keys.
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONHASHSEED="0")
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(
        scenario % ((COPY_314, LAYOUTS[layout], "") if later else (COPY_314, "", LAYOUTS[layout])))],
                          env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def as_shipped():
    return run("as-shipped")


@pytest.mark.parametrize("later", [False, True], ids=["at-import", "later"])
@pytest.mark.parametrize("layout", sorted(set(LAYOUTS) - {"as-shipped"}))
def test_an_unexpected_copy_module_falls_back_to_copy_copy(layout, later, as_shipped):
    out = run(layout, later=later).splitlines()
    assert out[:-1] == as_shipped.splitlines()[:-1]
    if out[-1] != "calls 0":  # a wrapper saw copies: as many as copy.copy makes it see
        assert out[-1] == run(layout, through_copy_copy=True, later=later).splitlines()[-1]


def test_direct_copies_equal_those_of_copy_copy(as_shipped):
    # Rebinding the module's `copy` to a look-alike sends every copy through
    # copy.copy; the outcome must not change.
    assert run("as-shipped", through_copy_copy=True) == as_shipped


@pytest.mark.parametrize("first", [False, True], ids=["key-last", "key-first"])
@pytest.mark.parametrize("table", ["copyreg.dispatch_table", "copy._copy_dispatch"])
@pytest.mark.parametrize("rebind_copy", [False, True])
def test_a_table_key_with_its_own_eq_is_consulted_as_copy_copy_does(rebind_copy, table, first):
    # copy.copy looks the item's class up in copyreg's dispatch_table (and,
    # up to 3.13, in copy's _copy_dispatch); a key whose hash collides with
    # the class gets its __eq__ called. The direct copy must not skip what
    # copy.copy would run, wherever the key sits in the table.
    if table == "copy._copy_dispatch" and not hasattr(copy, "_copy_dispatch"):
        pytest.skip("no _copy_dispatch in this copy module")
    code = textwrap.dedent('''
        import copy, copyreg, sys
        from ombrix_sdk.roi import zone_warden
        if %s:
            zone_warden.copy = type(sys)("copy")
            zone_warden.copy.copy = copy.copy
            zone_warden.copy.deepcopy = copy.deepcopy
        class Det:
            def __init__(self, tlwh):
                self.tlwh = tlwh
        calls = []
        class Collides:
            def __hash__(self):
                return hash(Det)
            def __eq__(self, other):
                calls.append(other.__name__)
                return False
        table = %s
        kept = list(table.items())
        if %s:  # the key first in the table's order
            table.clear()
        table[Collides()] = None
        table.update(kept)
        zw = zone_warden.ZoneWarden([{"include": True, "roi_id": "r", "label": "l",
                                      "points": [[0, 0], [1, 0], [1, 1], [0, 1]]}])
        out = zw.filter_in_roi([Det([x, x, 0.1, 0.1]) for x in (0.3, 0.4, 0.5)])
        # one lookup per item at least (a lookup may compare twice when the
        # table changes meanwhile, as copy.copy's own lookup may)
        print(len(out), len(calls) >= 3, set(calls))
    ''' % (rebind_copy, table, first))
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run([sys.executable, "-c", code], env=env, cwd=ROOT,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "3 True {'Det'}"
