"""_safe_extract on real tar.xz streams: member-by-member extraction, the name
check, links that would lead outside, and the removal of a failed
extraction's files."""

import io
import itertools
import os
import shutil
import tarfile
import types

import pytest

from fetch_support import Member, archive_bytes, hostile_member, tree

TRAVERSAL = "Attempted path traversal in tar archive: "


@pytest.fixture
def base(tmp_path):
    path = tmp_path / "models"
    path.mkdir()
    return str(path)


def _extract(fetch, data, path):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r|xz") as tar:
        return fetch._safe_extract(tar, path)


def _refused(fetch, members, path, name):
    with pytest.raises(Exception) as info:
        _extract(fetch, archive_bytes(members), path)
    assert type(info.value) is Exception
    assert str(info.value) == TRAVERSAL + name


GOOD = [
    Member("m", "dir"),
    Member("m/a.bin", data=b"A" * 3000),
    Member("m/sub/b.txt", data=b"B"),
    Member("m/link", "symlink", linkname="a.bin"),
    Member("m/sub/up", "symlink", linkname="../a.bin"),
    Member("m/root", "symlink", linkname=".."),
    Member("m/hard", "hardlink", linkname="m/a.bin"),
]


def test_extracts_every_member(fetch, base):
    assert _extract(fetch, archive_bytes(GOOD), base) is None
    assert tree(base) == ["m", "m/a.bin", "m/hard", "m/link", "m/root", "m/sub", "m/sub/b.txt",
                          "m/sub/up"]
    with open(os.path.join(base, "m", "sub", "up"), "rb") as f:
        assert f.read() == b"A" * 3000
    assert os.path.samefile(os.path.join(base, "m", "hard"), os.path.join(base, "m", "a.bin"))


def test_relative_destination(fetch, base, monkeypatch):
    monkeypatch.chdir(os.path.dirname(base))
    _extract(fetch, archive_bytes(GOOD[:3]), "models")
    assert tree(base) == ["m", "m/a.bin", "m/sub", "m/sub/b.txt"]


@pytest.mark.parametrize("name,kind", [
    ("../evil.txt", "file"),
    ("m/../../evil.txt", "file"),
    ("ABSOLUTE", "file"),
    (".", "dir"),
    ("m/..", "dir"),
    ("../models-x/evil.txt", "file"),
    ("../back/evil.txt", "file"),
], ids=["two-dots", "climbs-out", "absolute", "lone-dot", "dir-dot-dot", "sibling-prefix",
        "back-in-through-a-link-outside"])
def test_unsafe_names_are_refused(fetch, base, outside, name, kind):
    if name == "ABSOLUTE":
        name = os.path.join(outside, "evil.txt")
    if name.startswith("../back/"):
        os.symlink(base, os.path.join(os.path.dirname(base), "back"))
    _refused(fetch, [Member(name, kind, data=b"x")], base, name)
    assert [p for p in tree(os.path.dirname(base)) if p != "back"] == ["models", "outside"]


def test_members_before_the_unsafe_one_are_checked_and_extracted_in_turn(fetch, base):
    order = []

    class Stream(object):
        """Duck-typed archive: members with a name, and extract()."""

        def __init__(self, names):
            self.members = [type("M", (), {"name": n})() for n in names]

        def __iter__(self):
            for m in self.members:
                order.append(("next", m.name))
                yield m

        def extract(self, member, path):
            order.append(("extract", member.name))
            assert path == base
            os.makedirs(os.path.join(path, member.name))

    with pytest.raises(Exception, match="^" + TRAVERSAL + r"\.\./b$"):
        fetch._safe_extract(Stream(["a", "../b", "c"]), base)
    assert order == [("next", "a"), ("extract", "a"), ("next", "../b")]


# --- links ------------------------------------------------------------------


@pytest.mark.parametrize("members,name", [
    ([Member("m/l", "symlink", linkname="/etc")], "m/l"),
    ([Member("m/l", "symlink", linkname="ABSOLUTE_INSIDE")], "m/l"),
    ([Member("m/l", "symlink", linkname="../../outside")], "m/l"),
    ([Member("l", "symlink", linkname="..")], "l"),
    ([Member("m/h", "hardlink", linkname="../outside/secret")], "m/h"),
    ([Member("m/h", "hardlink", linkname="OUTSIDE_SECRET")], "m/h"),
    # through a link extracted before: "a" is the base itself, so "a/.."
    # is its parent although it reads as the base
    ([Member("a", "symlink", linkname="."), Member("a/l", "symlink", linkname="..")], "a/l"),
    ([Member("a", "symlink", linkname="."), Member("a/../outside/x.txt", data=b"x")],
     "a/../outside/x.txt"),
    ([Member("a", "symlink", linkname="."),
      Member("h", "hardlink", linkname="a/../outside/secret")], "h"),
    # a link whose directory is reached through another link: "a/b" lies in
    # "sub", so "../.." leads above the base
    ([Member("sub", "dir"), Member("a", "symlink", linkname="sub"),
      Member("a/b", "symlink", linkname="../..")], "a/b"),
    # a link that a later link redirects outside
    ([Member("d1/d2", "dir"), Member("d1/d2/a", "symlink", linkname="b/../../.."),
      Member("d1/d2/b", "symlink", linkname="../../x")], "d1/d2/a"),
    # a file written through a link to outside that was already on disk
    ([Member("pre/x.txt", data=b"x")], "pre/x.txt"),
], ids=["sym-absolute", "sym-absolute-inside", "sym-climbs-out", "sym-to-parent",
        "hard-climbs-out", "hard-absolute", "sym-through-link", "file-through-link",
        "hard-through-link", "sym-in-linked-dir", "sym-redirected-later", "file-through-old-link"])
def test_links_leading_outside_are_refused(fetch, base, outside, members, name):
    with open(os.path.join(outside, "secret"), "w") as f:
        f.write("secret")
    os.symlink(outside, os.path.join(base, "pre"))
    for m in members:
        m.linkname = m.linkname.replace("ABSOLUTE_INSIDE", os.path.join(base, "m"))
        m.linkname = m.linkname.replace("OUTSIDE_SECRET", os.path.join(outside, "secret"))
    _refused(fetch, members, base, name)
    assert sorted(os.listdir(outside)) == ["secret"]
    assert tree(base) == ["pre"]  # what the attempt extracted is gone again


def test_link_to_the_destination_itself_is_allowed(fetch, base):
    _extract(fetch, archive_bytes([Member("m/top", "symlink", linkname="..")]), base)
    assert os.path.samefile(os.path.join(base, "m", "top"), base)


# --- removal of a failed extraction -------------------------------------------


def test_failed_extraction_removes_only_what_it_created(fetch, base):
    os.makedirs(os.path.join(base, "other", "keep"))
    with open(os.path.join(base, "other", "model.bin"), "w") as f:
        f.write("old")
    with open(os.path.join(base, "loose.txt"), "w") as f:
        f.write("loose")
    members = [
        Member("m", "dir"), Member("m/a.bin", data=b"a"), Member("m/deep/er/b.bin", data=b"b"),
        Member("m/l", "symlink", linkname="a.bin"), Member("other/new.bin", data=b"new"),
        Member("other/keep/n/o.bin", data=b"o"), Member("fresh/x.bin", data=b"x"),
        Member("../evil", data=b"e"),
    ]
    _refused(fetch, members, base, "../evil")
    assert tree(base) == ["loose.txt", "other", "other/keep", "other/model.bin"]
    with open(os.path.join(base, "other", "model.bin")) as f:
        assert f.read() == "old"


def test_truncated_stream_leaves_nothing(fetch, base):
    data = archive_bytes([Member("m", "dir"), Member("m/small", data=b"s"),
                          Member("m/big", data=os.urandom(1 << 20))])
    with pytest.raises(tarfile.ReadError):
        _extract(fetch, data[:len(data) // 2], base)
    assert tree(base) == []


def test_missing_destination_is_created_and_kept(fetch, tmp_path):
    path = str(tmp_path / "new" / "models")
    _refused(fetch, [Member("m/a", data=b"a"), Member("../evil", data=b"e")], path, "../evil")
    assert os.path.isdir(path) and os.listdir(path) == []


def test_interrupted_extraction_is_removed_too(fetch, base):
    class Interrupting(object):
        def __iter__(self):
            yield type("M", (), {"name": "m/a"})()
            raise KeyboardInterrupt

        def extract(self, member, path):
            os.makedirs(os.path.join(path, member.name))

    with pytest.raises(KeyboardInterrupt):
        fetch._safe_extract(Interrupting(), base)
    assert tree(base) == []


MEMBER_PARTS = ["isreg", "isdir", "issym", "islnk", "ischr", "isblk", "isfifo", "mode", "size",
                "linkname"]


@pytest.mark.parametrize("method", MEMBER_PARTS)
@pytest.mark.parametrize("index", range(len(GOOD)))
def test_an_error_raised_by_a_member_propagates_and_leaves_nothing(fetch, base, tmp_path, method,
                                                                   index):
    # The member's method (or attribute) raises at its first call (read),
    # then at its second, and so on (before its extraction, in tarfile's
    # own, after it): the error comes out and nothing is left, until it is
    # asked no more and the extraction is whole.
    class Boom(Exception):
        pass

    data = archive_bytes(GOOD)
    for at in itertools.count():
        armed = []  # not while tarfile.open reads the first header
        calls = []

        def hit(member):
            if object.__getattribute__(member, "name") == GOOD[index].name:
                calls.append(method)
                if len(calls) == at + 1:
                    raise Boom(method)

        hostile = hostile_member(method, armed, hit)
        with tarfile.open(fileobj=io.BytesIO(data), mode="r|xz", tarinfo=hostile) as tar:
            armed.append(True)
            try:
                fetch._safe_extract(tar, base)
            except Boom:
                assert tree(base) == []
                continue
        break
    # (tarfile reads a hard link's size from 3.8 on only)
    unasked = {("size", "dir"), ("size", "symlink"), ("size", "hardlink"), ("linkname", "file"),
               ("linkname", "dir")}
    assert len(calls) == at and (at > 0 or (method, GOOD[index].kind) in unasked)
    clean = str(tmp_path / "clean")
    os.mkdir(clean)
    _extract(fetch, data, clean)
    assert tree(base) == tree(clean)


class _Touchy(str):
    """A path whose comparisons fail."""

    def __eq__(self, other):
        raise _Boom("==")

    def __ne__(self, other):
        raise _Boom("!=")

    __hash__ = str.__hash__


class _Boom(Exception):
    pass


def _path_stand_in(calls, at, fault="raises"):
    """os with an os.path whose functions record their calls in `calls`; the
    call numbered `at` raises _Boom, or returns a path whose comparisons
    fail or that cannot be encoded."""
    def wrap(name):
        def function(*args):
            calls.append(name)
            if len(calls) == at and fault == "raises":
                raise _Boom(name)
            result = getattr(os.path, name)(*args)
            if len(calls) != at or not isinstance(result, str):
                return result
            return _Touchy(result) if "compar" in fault else result + "\ud800"
        return function
    names = [n for n in dir(os.path) if not n.startswith("_")]
    path = types.SimpleNamespace(**{n: wrap(n) for n in names})
    return types.SimpleNamespace(path=path, **{n: getattr(os, n) for n in dir(os)
                                               if not n.startswith("__") and n != "path"})


@pytest.mark.parametrize("fault", ["raises", "returns a path whose comparisons fail",
                                   "returns a path that cannot be encoded"])
def test_a_path_function_failing_at_any_call_leaves_nothing(fetch, base, monkeypatch, fault):
    """os.path's functions, looked up in the module at each call, fail in turn
    at each of the calls a clean extraction makes (one member comes twice,
    and finds its first copy in place): the error comes out and nothing is
    left, or (a path never compared or encoded) the extraction is whole. A
    path that cannot be encoded is no path below the destination: refused."""
    calls = []
    error = (UnicodeEncodeError, Exception) if "encoded" in fault else _Boom
    data = archive_bytes(GOOD + [Member("m/sub/b.txt", data=b"again")])
    monkeypatch.setattr(fetch, "os", _path_stand_in(calls, 0))
    _extract(fetch, data, base)
    whole, clean = tree(base), len(calls)
    assert clean > len(GOOD)
    outcomes = set()
    for at in range(1, clean + 1):
        shutil.rmtree(base)
        os.mkdir(base)
        del calls[:]
        monkeypatch.setattr(fetch, "os", _path_stand_in(calls, at, fault))
        try:
            _extract(fetch, data, base)
            outcomes.add("whole")
            assert fault != "raises" and tree(base) == whole, calls[at - 1]
        except error as e:
            refused = type(e) is Exception
            outcomes.add("refused" if refused else "error")
            assert tree(base) == [], calls[at - 1]
            assert not refused or str(e).startswith(TRAVERSAL), e
    assert "error" in outcomes


def test_a_path_function_failing_in_the_clean_up_keeps_the_error_and_removes_the_rest(
        fetch, base, monkeypatch):
    # Each call of a refused extraction fails in turn, those of its clean-up
    # too: a failure before the refusal is the error, and nothing is left; one
    # in the clean-up leaves the refusal the error, and at most the path whose
    # removal failed.
    data = archive_bytes([Member("a.bin", data=b"a"), Member("d/b.bin", data=b"b"),
                          Member("c.bin", data=b"c"), Member("../evil", data=b"e")])
    calls = []
    monkeypatch.setattr(fetch, "os", _path_stand_in(calls, 0))
    with pytest.raises(Exception) as info:
        _extract(fetch, data, base)
    assert str(info.value) == TRAVERSAL + "../evil" and tree(base) == []
    kept = set()
    for at in range(1, len(calls) + 1):
        del calls[:]
        monkeypatch.setattr(fetch, "os", _path_stand_in(calls, at))
        with pytest.raises(Exception) as info:
            _extract(fetch, data, base)
        left = {path.split("/")[0] for path in tree(base)}
        if type(info.value) is _Boom:
            assert left == set(), calls[at - 1]
        else:
            assert str(info.value) == TRAVERSAL + "../evil" and len(left) <= 1, (at, left)
            kept |= left
        shutil.rmtree(base)
        os.mkdir(base)
    assert kept == {"a.bin", "c.bin", "d"}  # each removal failed once


# --- special files and mode bits ----------------------------------------------

SPECIAL = "Attempted special file in tar archive: "


@pytest.mark.parametrize("members,name", [
    ([Member("m/pipe", "fifo")], "m/pipe"),
    # a FIFO and then a file of the same name: writing the file would block
    # on the FIFO for ever
    ([Member("m/f", "fifo"), Member("m/f", data=b"x")], "m/f"),
    ([Member("m/tty", "chr")], "m/tty"),
    ([Member("m/disk", "blk")], "m/disk"),
], ids=["fifo", "fifo-then-file", "char-device", "block-device"])
def test_device_nodes_and_fifos_are_refused(fetch, base, members, name):
    members = [Member("m", "dir"), Member("m/a.bin", data=b"a")] + members
    with pytest.raises(Exception) as info:
        _extract(fetch, archive_bytes(members), base)
    assert type(info.value) is Exception
    assert str(info.value) == SPECIAL + name
    assert tree(base) == []


@pytest.mark.parametrize("kind,mode,expected", [
    ("file", 0o4755, 0o755),
    ("file", 0o2775, 0o775),
    ("file", 0o6777, 0o777),
    ("dir", 0o1777, 0o777),
    ("dir", 0o3775, 0o775),
    ("file", 0o664, 0o664),
], ids=["setuid", "setgid", "both", "sticky-dir", "setgid-sticky-dir", "plain"])
def test_no_setuid_setgid_or_sticky_bits(fetch, base, kind, mode, expected):
    _extract(fetch, archive_bytes([Member("m", kind, data=b"x", mode=mode)]), base)
    assert os.stat(os.path.join(base, "m")).st_mode & 0o7777 == expected


# --- the same files on every interpreter ------------------------------------------


@pytest.fixture(params=["interpreter default", "data by default"])
def default_filter(request, monkeypatch):
    """tarfile's default extraction filter as the interpreter has it, and as
    Python 3.14 has it ("data"), where the interpreter knows filters."""
    if request.param == "data by default":
        if not hasattr(tarfile, "data_filter"):
            pytest.skip("this tarfile has no extraction filters")
        monkeypatch.setattr(tarfile.TarFile, "extraction_filter",
                            staticmethod(tarfile.data_filter))
    return request.param


def test_same_files_and_modes_whatever_the_default_filter(fetch, base, default_filter):
    import warnings

    members = GOOD + [Member("m/shared.txt", data=b"s", mode=0o666),
                      Member("m/run.sh", data=b"#!/bin/sh\n", mode=0o775),
                      Member("m/w", "dir", mode=0o777),
                      Member("m/sub/norm", "symlink", linkname="../sub/./b.txt")]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _extract(fetch, archive_bytes(members), base)
    assert [w for w in caught if issubclass(w.category, DeprecationWarning)] == []
    modes = {p: os.lstat(os.path.join(base, p)).st_mode & 0o7777
             for p in ("m/shared.txt", "m/run.sh", "m/w", "m/a.bin")}
    assert modes == {"m/shared.txt": 0o666, "m/run.sh": 0o775, "m/w": 0o777, "m/a.bin": 0o644}
    assert os.readlink(os.path.join(base, "m/sub/norm")) == "../sub/./b.txt"
    assert os.readlink(os.path.join(base, "m/root")) == ".."


def test_link_redirected_later_is_refused_whatever_the_default_filter(fetch, base, outside,
                                                                      default_filter):
    # 3.14's "data" filter would rewrite "b/../../.." to "../.." (which
    # stays inside) instead of extracting the link as the archive has it.
    members = [Member("d1/d2", "dir"), Member("d1/d2/a", "symlink", linkname="b/../../.."),
               Member("d1/d2/b", "symlink", linkname="../../x")]
    _refused(fetch, members, base, "d1/d2/a")
    assert tree(base) == []
