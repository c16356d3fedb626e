"""download_url on the volumes of the field: a base directory reached through
a symbolic link, sibling models in one base directory, a full disk, and a
body cut short under either major version of urllib3. Real file systems,
the real loopback server."""

import hashlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

from fetch_support import Member, Reply, archive_bytes, model_archive, tree

MIB = 1 << 20
ETAG = '"model-v1"'
FILES = {"w.bin": os.urandom(5 * MIB // 2), "labels.txt": b"person\ncar\n"}
DATA = model_archive("model_a", FILES)
EXTRACT_FAILED = "Failed to extracting tarxz "
TRAVERSAL = "Attempted path traversal in tar archive: "


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _files(model_dir):
    return {name: _read(os.path.join(model_dir, name)) for name in os.listdir(model_dir)}


@pytest.mark.parametrize("layout", ["link", "link-slash", "link-higher-up"])
def test_a_base_directory_behind_a_symbolic_link(fetch, settings, server, log, tmp_path, layout):
    volume = tmp_path / "volume"
    volume.mkdir()
    if layout == "link-higher-up":
        (volume / "models").mkdir()
        os.symlink(str(volume), str(tmp_path / "mnt"))
        base = str(tmp_path / "mnt" / "models")
    else:
        os.symlink(str(volume), str(tmp_path / "link"))
        base = str(tmp_path / "link") + ("/" if layout == "link-slash" else "")
    fetch.BASE_MODEL_DIR = base
    server.routes["/a/model_a.tar.xz"] = Reply(200, DATA, etag=ETAG)
    url = server.url("/a/model_a.tar.xz")
    model_dir = os.path.join(base, "model_a")
    assert fetch.download_url(url) == model_dir
    assert fetch.download_url(url) == model_dir
    assert log[-1] == ("info", "model dir already exists, skipping download - " + model_dir)
    assert _files(model_dir) == FILES and os.listdir(base) == ["model_a"]
    assert len(server.requests) == 1


# --- sibling models ---------------------------------------------------------------

OWN = [Member("model_a", "dir"), Member("model_a/x.bin", data=b"x")]


def _snapshot(root):
    """Every path below root with its mode, times, link count and content."""
    found = {}
    for path in [""] + tree(root):
        full = os.path.join(root, path)
        st = os.lstat(full)
        content = _read(full) if os.path.isfile(full) and not os.path.islink(full) else None
        found[path] = (st.st_mode, st.st_mtime_ns, st.st_nlink, content)
    return found


def _besides_model_b(base):
    """What is in base besides model_b: a file's content, or "dir" or "link"."""
    found = {}
    for path in tree(base):
        full = os.path.join(base, path)
        if path.split("/")[0] != "model_b":
            found[path] = ("link" if os.path.islink(full) else "dir" if os.path.isdir(full)
                           else _read(full))
    return found


@pytest.mark.parametrize("members,outcome", [
    # through a hard link to another model's file, then over it
    (OWN + [Member("model_a/h", "hardlink", linkname="model_b/w.bin"),
            Member("model_a/h", data=b"mine")], "model_a/h"),
    (OWN + [Member("model_b/w.bin", data=b"mine")], "model_b/w.bin"),
    (OWN + [Member("model_b/new.bin", data=b"new")], "model_b/new.bin"),
    (OWN + [Member("model_b", "dir", mode=0o700)], "model_b"),
    (OWN + [Member("model_a/s", "symlink", linkname="../model_b"),
            Member("model_a/s/w.bin", data=b"mine")], "model_a/s/w.bin"),
    # a link of the archive's own and then a file of the same name: the file
    # replaces the link instead of writing through it
    (OWN + [Member("model_a/s", "symlink", linkname="../model_b/w.bin"),
            Member("model_a/s", data=b"mine")],
     {"model_a": "dir", "model_a/s": b"mine", "model_a/x.bin": b"x"}),
    # new paths outside the model directory are extracted, as ever ...
    (OWN + [Member("extra/readme.txt", data=b"r")],
     {"extra": "dir", "extra/readme.txt": b"r", "model_a": "dir", "model_a/x.bin": b"x"}),
    # ... and go again with the rest when the extraction fails after them
    (OWN + [Member("extra/readme.txt", data=b"r"), Member("../evil", data=b"e")], "../evil"),
], ids=["hard-link-then-member", "member-over-sibling-file", "member-into-sibling-dir",
        "sibling-dir-member", "through-own-link", "member-replaces-own-link", "new-top-level",
        "failure-after-new-top-level"])
def test_an_extraction_never_changes_another_model(fetch, settings, server, log, members,
                                                   outcome):
    """outcome: what the base directory holds besides model_b after success,
    or the name of the member refused."""
    sibling = os.path.join(settings.base, "model_b")
    os.makedirs(sibling)
    with open(os.path.join(sibling, "w.bin"), "wb") as f:
        f.write(b"weights of b")
    os.chmod(os.path.join(sibling, "w.bin"), 0o640)
    os.utime(os.path.join(sibling, "w.bin"), (1600000000, 1600000000))
    before = _snapshot(sibling)
    server.routes["/a/model_a.tar.xz"] = Reply(200, archive_bytes(members))
    result = fetch.download_url(server.url("/a/model_a.tar.xz"))
    assert _snapshot(sibling) == before
    if isinstance(outcome, dict):
        assert result == os.path.join(settings.base, "model_a")
        assert _besides_model_b(settings.base) == outcome
    else:
        archive = os.path.join(settings.base, "model_a.tar.xz")
        assert result is None
        assert log[-1] == ("warning", EXTRACT_FAILED + archive + " - " + TRAVERSAL + outcome)
        assert list(_besides_model_b(settings.base)) == ["model_a.tar.xz.journal"]


# --- a full disk -----------------------------------------------------------------------


@pytest.fixture
def small_volume(fetch, tmp_path):
    """BASE_MODEL_DIR on a tmpfs of 8 MiB."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mount = tmp_path / "volume"
    mount.mkdir()
    if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(mount)]) != 0:
        pytest.skip("cannot mount a tmpfs here")
    fetch.BASE_MODEL_DIR = str(mount / "models")
    yield fetch.BASE_MODEL_DIR
    subprocess.call(["umount", "-l", str(mount)])


@pytest.mark.parametrize("broken_first", [False, True], ids=["whole", "resumed"])
def test_a_full_disk_gives_its_space_back(fetch, settings, server, small_volume, broken_first):
    big = model_archive("model_big", {"w.bin": os.urandom(12 * MIB)})
    first = Reply(200, big, etag=ETAG, ranges=True, cut=4 * MIB + 5 if broken_first else None)
    server.routes["/a/model_big.tar.xz"] = [first, Reply(200, big, etag=ETAG, ranges=True)]
    url = server.url("/a/model_big.tar.xz")
    if broken_first:
        # a broken link keeps what fits for the next attempt ...
        assert fetch.download_url(url) is None
        assert sorted(os.listdir(small_volume)) == ["model_big.tar.xz.partial",
                                                    "model_big.tar.xz.validator"]
    # ... which the full disk ends: nothing of it stays
    assert fetch.download_url(url) is None
    assert os.listdir(small_volume) == []
    server.routes["/a/model_a.tar.xz"] = Reply(200, model_archive("model_a", {"w.bin": bytes(MIB)}))
    assert fetch.download_url(server.url("/a/model_a.tar.xz")) == os.path.join(small_volume,
                                                                                "model_a")


# --- a body cut short, under urllib3 2.x and 1.26 ----------------------------------------

CHILD = textwrap.dedent("""
    import json, os, sys
    import urllib3
    from ombrix_sdk.model import fetch
    fetch.BASE_MODEL_DIR = base = sys.argv[1]
    first = fetch.download_url(sys.argv[2])
    left = sorted(os.listdir(base))
    second = fetch.download_url(sys.argv[2])
    print(json.dumps({"urllib3": urllib3.__version__, "first": first, "left": left,
                      "second": second}))
""")


@pytest.fixture(scope="module", params=["installed", "1.26"])
def urllib3_path(request, tmp_path_factory):
    """"" for the installed urllib3, else a directory holding urllib3 1.26."""
    if request.param == "installed":
        return ""
    target = str(tmp_path_factory.mktemp("urllib3-1.26"))
    proc = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps",
                           "--disable-pip-version-check", "--target", target, "urllib3<2"],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    if proc.returncode != 0:
        pytest.skip("pip cannot install urllib3<2: %s" % proc.stdout.decode()[-300:])
    return target


def test_a_body_cut_short_is_never_taken_for_a_whole_archive(settings, server, urllib3_path):
    server.routes["/a/model_a.tar.xz"] = [
        Reply(200, DATA, etag=ETAG, ranges=True, cut=len(DATA) // 2),
        Reply(200, DATA, etag=ETAG, ranges=True)]
    env = dict(os.environ)
    if urllib3_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [urllib3_path, env.get("PYTHONPATH")]))
    out = subprocess.check_output([sys.executable, "-c", CHILD, settings.base,
                                   server.url("/a/model_a.tar.xz")], env=env, timeout=120)
    result = json.loads(out.decode().strip().splitlines()[-1])
    assert result["urllib3"].startswith("1.26.") == (urllib3_path != "")
    model_dir = os.path.join(settings.base, "model_a")
    assert result["first"] is None
    assert result["left"] == ["model_a.tar.xz.partial", "model_a.tar.xz.validator"]
    assert result["second"] == model_dir and _files(model_dir) == FILES
    ranges = [h["range"] for _, h in server.requests if "range" in h]
    assert len(ranges) == 1 and server.body_bytes < 1.5 * len(DATA)
    assert os.listdir(settings.base) == ["model_a"]
