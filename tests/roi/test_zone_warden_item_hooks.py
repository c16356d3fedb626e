"""Items whose classes hook attribute access or copying, against the plain
algorithm over shapely.

Detections and tracks may come from classes with their own __getattribute__,
__getattr__ or __setattr__, a property for the box, class attributes under
the tag names, their own __copy__, __reduce_ex__ or __getstate__ (on the
class or in the instance dict), instance entries under odd names or the
names of data descriptors (object's or the class's), a reducer registered
with copyreg, or a metaclass. filter_in_roi must read, copy and tag them as the plain steps do:
the same elements, the same copies' contents, and the same hooks run in the
same order.
"""

import copy
import copyreg

import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

from ombrix_sdk.roi import zone_warden
from ombrix_sdk.roi.zone_warden import ZoneWarden

from call_trace import python_calls
from zone_warden_support import ReferenceWarden, region, square

EVENTS = []
WATCHED = {"tlwh", "info", "roi_id", "roi_name", "__dict__", "__reduce_ex__", "__reduce__",
           "__getstate__", "__copy__", "__class__", "__setstate__"}


class Item(object):
    def __init__(self, box, track):
        vars(self)["tlwh"] = box
        if track:
            vars(self)["info"] = {"rect": box}


class Bare(object):
    # object's __init__: object.__new__ refuses arguments for it
    pass


def bare(box, track):
    item = Bare()
    vars(item).update(vars(Item(box, track)))
    return item


class GetAttribute(object):
    def __getattribute__(self, name):
        if name in WATCHED:
            EVENTS.append(("get", name))
        return super().__getattribute__(name)


class GetAttr(object):
    def __getattr__(self, name):
        EVENTS.append(("missing", name))
        raise AttributeError(name)


class SetAttr(object):
    def __setattr__(self, name, value):
        EVENTS.append(("set", name))
        super().__setattr__(name, value)


class BoxProperty(object):
    @property
    def tlwh(self):
        EVENTS.append(("property",))
        return vars(self)["box"]


class ClassTags(object):
    roi_id = roi_name = None


class OwnCopy(object):
    def __copy__(self):
        EVENTS.append(("__copy__",))
        twin = object.__new__(type(self))
        vars(twin).update(vars(self))
        return twin


class ReduceEx(object):
    def __reduce_ex__(self, protocol):
        EVENTS.append(("__reduce_ex__", protocol))
        return super().__reduce_ex__(protocol)


class OwnReduceEx(object):
    # An instance entry named like a hook: copy.copy asks the instance for it.
    def __init__(self, box, track):
        super().__init__(box, track)

        def reduce_ex(protocol):
            EVENTS.append(("own __reduce_ex__", protocol))
            return object.__reduce_ex__(self, protocol)

        vars(self)["__reduce_ex__"] = reduce_ex


class OddKeys(object):
    # Entries copy.copy takes over as they are: a dunder name that is no
    # hook, and a key that is not a str whose hash is that of "__reduce_ex__".
    def __init__(self, box, track):
        super().__init__(box, track)
        vars(self)["__note__"] = "n"
        vars(self)[Collider(self)] = "odd"


class ObjectNames(object):
    # Instance entries under the names of object's data descriptors:
    # copy.copy puts them in the copy's dict, where no descriptor sees them.
    def __init__(self, box, track):
        super().__init__(box, track)
        vars(self)["__class__"] = "not a class"
        vars(self)["__dict__"] = {"not": "the dict"}


class Shadowed(object):
    # An instance entry under the name of the class's data descriptor:
    # copy.copy puts it in the copy's dict, past the descriptor's setter.
    score = property(lambda self: None, lambda self, value: EVENTS.append(("set score",)))

    def __init__(self, box, track):
        super().__init__(box, track)
        vars(self)["score"] = 0.5


class Collider(object):
    # Compared when "__reduce_ex__" is looked up in the instance dict; the
    # first time, it puts an entry of that name there.
    def __init__(self, item):
        self.item = item

    def __hash__(self):
        return hash("__reduce_ex__")

    def __eq__(self, other):
        EVENTS.append(("compared", other))
        if self.item is not None:
            item, self.item = self.item, None

            def reduce_ex(protocol):
                EVENTS.append(("added __reduce_ex__", protocol))
                return object.__reduce_ex__(item, protocol)

            vars(item)["__reduce_ex__"] = reduce_ex
        return False


class Registered(object):
    # make_class registers the class's own reducer with copyreg.
    @staticmethod
    def reduce(item):
        EVENTS.append(("registered reducer",))
        return object.__new__, (type(item),), dict(vars(item))


class GetState(object):
    def __getstate__(self):
        EVENTS.append(("__getstate__",))
        return dict(vars(self))


class Meta(type):
    def __getattribute__(cls, name):
        if name in WATCHED:
            EVENTS.append(("class", name))
        return super().__getattribute__(name)


HOOKS = [GetAttribute, GetAttr, SetAttr, BoxProperty, ClassTags, OwnCopy, ReduceEx, OwnReduceEx,
         OddKeys, ObjectNames, Shadowed, Registered, GetState, Meta]
RECORDS = [region(square(0.1, 0.1, 0.6, 0.6), roi_id="a", label="A"),
           region(square(0.4, 0.4, 0.9, 0.9), roi_id="b", label="B"),
           region(square(0.45, 0.45, 0.55, 0.55), include=False), region([])]
POINTS = [(0.2, 0.2), (0.5, 0.5), (0.45, 0.45), (0.7, 0.7), (0.95, 0.05), (0.5, 0.3)]


def make_class(hooks):
    meta = Meta if Meta in hooks else type
    cls = meta("Hooked", tuple(h for h in hooks if h is not Meta) + (Item,), {})
    if Registered in hooks:
        # registered after a first copy (which records its slot names)
        cls.__slotnames__ = []
        copyreg.pickle(cls, Registered.reduce)
    return cls


def frame(classes, plan):
    items = []
    for k, (point, track) in plan:
        item = classes[k](tuple(point) + (0.0, 0.0), track)
        if BoxProperty in type(item).__mro__:
            vars(item)["box"] = vars(item).pop("tlwh")
        items.append(item)
    return items


def run(warden_class, hooks, plan, primed):
    # Classes of its own for each run: copying caches __slotnames__ on a class,
    # and only from then on can an item be copied without copy.copy (primed:
    # from the first item on).
    classes = [make_class(h) for h in hooks]
    if primed:
        for twin in frame(classes, [(k, ((0.0, 0.0), False)) for k in range(len(classes))]):
            copy.copy(twin)
    items = frame(classes, plan)
    del EVENTS[:]
    result = warden_class([dict(r) for r in RECORDS]).filter_in_roi(items, None, (0.0, 0.0))
    described = []
    for element in result:
        same = [i for i, it in enumerate(items) if it is element]
        state = vars(element)
        described.append((same, type(element).__name__,
                          [k if type(k) is str else type(k).__name__ for k in state],
                          state.get("roi_id"), state.get("info", {}).get("roi_id")))
    return described, list(EVENTS)


@settings(max_examples=200, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@seed(20261208)
@given(st.lists(st.lists(st.sampled_from(HOOKS), unique=True, max_size=3), min_size=1, max_size=3),
       st.data())
def test_hooked_items_are_read_copied_and_tagged_as_by_the_plain_steps(hooks, data):
    plan = data.draw(st.lists(st.tuples(st.integers(0, len(hooks) - 1),
                                        st.tuples(st.sampled_from(POINTS), st.booleans())),
                              max_size=6))
    primed = data.draw(st.booleans())
    assert run(ZoneWarden, hooks, plan, primed) == run(ReferenceWarden, hooks, plan, primed)


@pytest.mark.parametrize("primed", [False, True], ids=["first-copy", "primed"])
@pytest.mark.parametrize("hook", HOOKS, ids=lambda h: h.__name__)
def test_each_hook_alone_as_by_the_plain_steps(hook, primed):
    # The draws above seldom give a class a single hook, the case in which
    # a copy can go the direct way; each of its items follows a plain one.
    plan = [(k, (point, track)) for point in POINTS for track in (False, True) for k in (1, 0)]
    hooks = [[hook], []]
    assert run(ZoneWarden, hooks, plan, primed) == run(ReferenceWarden, hooks, plan, primed)


@pytest.mark.parametrize("track", [False, True], ids=["detection", "track"])
def test_plain_items_are_copied_without_the_copy_module(track):
    # What copy.copy does for them is done directly (the hooked items above
    # compare it with copy.copy itself), once copy.copy has recorded the
    # class's __slotnames__; items of three such classes in turn (one
    # without an __init__ of its own), their copies as the plain steps make them.
    w = ZoneWarden([dict(r) for r in RECORDS])
    classes = [Item, type("Twin", (Item,), {}), bare]
    for cls in classes:
        copy.copy(cls((0, 0, 0, 0), track))
    items = frame(classes, [(k, (p, track)) for p in POINTS for k in (0, 1, 2)])
    extra = frame([Item], [(0, ((0.2, 0.2), track))])[0]
    vars(extra)["extra"] = object()  # a further attribute to copy
    items.append(extra)
    result = []
    kept = python_calls(lambda: result.extend(w.filter_in_roi(items, None, (0.0, 0.0))))
    assert [f for f in kept if f in ("copy.py", "copyreg.py")] == []
    expected = ReferenceWarden([dict(r) for r in RECORDS]).filter_in_roi(items, None, (0.0, 0.0))
    assert [(type(e), vars(e)) for e in result] == [(type(e), vars(e)) for e in expected]


def test_a_class_registered_half_way_through_a_frame_uses_its_reducer():
    # The __copy__ of an item registers, with copyreg, the plain class of the
    # items around it: those after it go through the reducer. (Its class
    # hooks attribute access, so the filter takes none of its shortcuts for
    # it, and what it knows of the plain class is all it has.)
    def run_once(warden_class):
        plain = make_class([])
        copy.copy(plain((0.0, 0.0, 0.0, 0.0), False))  # primed

        class Registering(GetAttribute, OwnCopy, Item):
            def __copy__(self):
                copyreg.pickle(plain, Registered.reduce)
                return super().__copy__()

        items = [cls((0.2, 0.2, 0.0, 0.0), False) for cls in (plain, Registering, plain)]
        del EVENTS[:]
        result = warden_class([dict(r) for r in RECORDS]).filter_in_roi(items, None, (0.0, 0.0))
        return [sorted(vars(element)) for element in result], list(EVENTS)

    assert run_once(ZoneWarden) == run_once(ReferenceWarden)


@pytest.mark.parametrize("module,name", [(copy, "copy"), (copy, "_reconstruct"),
                                         (copyreg, "__newobj__")],
                         ids=["copy.copy", "copy._reconstruct", "copyreg.__newobj__"])
def test_copy_machinery_replaced_half_way_through_a_frame_is_used(module, name):
    # As above, the __copy__ of an item replaces a part of what copy.copy
    # runs, for the plain items after it.
    original = getattr(module, name)

    def run_once(warden_class):
        plain = make_class([])
        copy.copy(plain((0.0, 0.0, 0.0, 0.0), False))  # primed

        class Replacing(GetAttribute, OwnCopy, Item):
            def __copy__(self):
                def spy(*args, **kwargs):
                    EVENTS.append(("replaced", name))
                    return original(*args, **kwargs)

                setattr(module, name, spy)
                return super().__copy__()

        items = [cls((0.2, 0.2, 0.0, 0.0), False) for cls in (plain, Replacing, plain)]
        del EVENTS[:]
        try:
            result = warden_class([dict(r) for r in RECORDS]).filter_in_roi(items, None,
                                                                            (0.0, 0.0))
        finally:
            setattr(module, name, original)
        return [sorted(vars(element)) for element in result], list(EVENTS)

    assert run_once(ZoneWarden) == run_once(ReferenceWarden)


class Other(object):
    pass


@pytest.mark.parametrize("owner", [type, Other], ids=["type", "unrelated-class"])
def test_a_class_with_another_types_dict_descriptor_is_copied_as_copy_copy_does(owner):
    # copy.copy reads the item's state through the class's __dict__, here
    # another type's, which refuses the item (on 3.15 an unrelated class's
    # does not); its first attempt leaves __slotnames__ cached, as primed
    # classes have it.
    class Foreign(object):
        __dict__ = vars(owner)["__dict__"]

        def __init__(self, box, track):
            self.tlwh = box

    try:
        copy.copy(Foreign(None, False))
        error = None
    except TypeError:
        error = TypeError
    items = [Foreign((0.2, 0.2, 0.0, 0.0), False)]
    reference = ReferenceWarden([dict(r) for r in RECORDS])
    expected = [type(e) for e in reference.filter_in_roi(items, None, (0.0, 0.0))]
    assert type(reference.failure) is (error or type(None))
    failures = []
    real = zone_warden.exception_traceback
    zone_warden.exception_traceback = lambda logger, e: failures.append(e)
    try:
        kept = ZoneWarden([dict(r) for r in RECORDS]).filter_in_roi(items, None, (0.0, 0.0))
    finally:
        zone_warden.exception_traceback = real
    assert [type(e) for e in kept] == expected == ([] if error else [Foreign])
    assert [type(e) for e in failures] == ([error] if error else [])


class MovesTheBox(object):
    # A class dict key with the hash of a tag name: storing that tag on a copy
    # compares it, and its first comparison moves the boxes of the items it
    # holds out of every region. The plain steps have read the box by then.
    def __init__(self, name):
        self.name, self.items = name, []

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        while self.items:
            vars(self.items.pop())["tlwh"] = (0.95, 0.05, 0.0, 0.0)
        return False


@pytest.mark.parametrize("owner", ["class", "base"])
@pytest.mark.parametrize("name", ["roi_id", "roi_name"])
def test_a_class_dict_key_compared_when_the_tags_are_stored(name, owner):
    def run_once(warden_class):
        key = MovesTheBox(name)
        cls = type("Keyed", (Item,), {key: None})
        if owner == "base":
            cls = type("Keyed", (cls,), {})
        item = cls((0.2, 0.2, 0.0, 0.0), False)
        key.items.append(item)
        result = warden_class([dict(r) for r in RECORDS]).filter_in_roi([item], None, (0.0, 0.0))
        return [(e is item, vars(e)) for e in result], vars(item)

    assert run_once(ZoneWarden) == run_once(ReferenceWarden)
