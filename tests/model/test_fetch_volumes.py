"""download_url on the volumes of the field: a base directory behind a symbolic
link, sibling models in one base directory, a full disk, and a body cut short
under urllib3 2.x and 1.26. Real file systems, the real loopback server."""

import io
import json
import os
import shutil
import stat
import subprocess
import sys
import tarfile
import time
from pathlib import Path

import pytest

from fetch_support import Member, Reply, archive_bytes, model_archive, tree

MIB = 1 << 20
FILES = {"w.bin": os.urandom(5 * MIB // 2)}
DATA = model_archive("model_a", FILES)


def _contents(root, skip="model_b"):
    """Each path below root but those under `skip`: its lstat and a file's content."""
    found = {}
    for path in [p for p in [""] + tree(root) if p.split("/")[0] != skip]:
        st = os.lstat(os.path.join(root, path))
        content = Path(root, path).read_bytes() if stat.S_ISREG(st.st_mode) else None
        found[path] = (st.st_mode, st.st_mtime_ns, st.st_nlink, content)
    return found


@pytest.mark.parametrize("base", ["link", "link/", "link/models"],
                         ids=["link", "link-slash", "link-higher-up"])
def test_a_base_directory_behind_a_symbolic_link(fetch, server, log, tmp_path, base):
    volume = tmp_path / "volume"
    os.makedirs(str(volume / "models") if base.endswith("models") else str(volume))
    os.symlink(str(volume), str(tmp_path / "link"))
    fetch.BASE_MODEL_DIR = base = str(tmp_path) + "/" + base
    server.routes["/a/model_a.tar.xz"] = Reply(200, DATA)
    model_dir = os.path.join(base, "model_a")
    assert [fetch.download_url(server.url("/a/model_a.tar.xz")) for _ in "12"] == [model_dir] * 2
    assert log[-1] == ("info", "model dir already exists, skipping download - " + model_dir)
    assert tree(model_dir) == ["w.bin"] and len(server.requests) == 1
    assert os.listdir(base) == ["model_a"]


A = [Member("model_a", "dir"), Member("model_a/x", data=b"x")]


@pytest.mark.parametrize("members,refused", [
    (A + [Member("model_a/h", "hardlink", linkname="model_b/w"), Member("model_a/h")], "model_a/h"),
    (A + [Member("model_b/w", data=b"mine")], "model_b/w"),
    (A + [Member("model_b/new", data=b"new")], "model_b/new"),
    (A + [Member("model_b", "dir", mode=0o700)], "model_b"),
    (A + [Member("model_a/s", "symlink", linkname="../model_b"), Member("model_a/s/w")],
     "model_a/s/w"),
    # an own link, then a file in its place: the file replaces the link
    (A + [Member("model_a/s", "symlink", linkname="../model_b/w"), Member("model_a/s")], None),
    (A + [Member("model_a/h", "hardlink", linkname="model_a/x"), Member("model_a/h")], None),
    # new paths outside the model directory are extracted as ever, and go
    # again with the rest when the extraction fails after them
    (A + [Member("extra/readme", data=b"r")], None),
    (A + [Member("extra/readme", data=b"r"), Member("../evil")], "../evil"),
], ids=["hard-link-then-member", "over-sibling-file", "into-sibling-dir", "sibling-dir",
        "through-own-link", "replaces-own-link", "replaces-own-hard-link", "new-top-level",
        "fails-after-new-top-level"])
def test_an_extraction_never_changes_another_model(fetch, settings, server, log, members,
                                                   refused):
    sibling = os.path.join(settings.base, "model_b")
    os.makedirs(sibling)
    with open(os.path.join(sibling, "w"), "wb") as f:
        f.write(b"weights of b")
    os.chmod(os.path.join(sibling, "w"), 0o640)
    before = _contents(sibling, skip=None)
    server.routes["/a/model_a.tar.xz"] = Reply(200, archive_bytes(members))
    result = fetch.download_url(server.url("/a/model_a.tar.xz"))
    assert _contents(sibling, skip=None) == before
    left = _contents(settings.base)
    if refused:
        assert result is None and list(left) == ["", "model_a.tar.xz.journal"]
        assert log[-1][1].endswith(" - Attempted path traversal in tar archive: " + refused)
    else:  # every file member a regular file of its own
        assert result == os.path.join(settings.base, "model_a")
        assert {p: v[3] for p, v in left.items() if v[3] is not None} == {
            m.name: m.data for m in members if m.kind == "file"}


@pytest.fixture
def small_volume(fetch, tmp_path):
    """BASE_MODEL_DIR on a tmpfs of 8 MiB."""
    mount = str(tmp_path / "volume")
    os.mkdir(mount)
    if os.geteuid() != 0 or not shutil.which("mount") or subprocess.call(
            ["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", mount]) != 0:
        pytest.skip("cannot mount a tmpfs (needs root and mount)")
    fetch.BASE_MODEL_DIR = os.path.join(mount, "models")
    yield fetch.BASE_MODEL_DIR
    subprocess.call(["umount", "-l", mount])


@pytest.mark.parametrize("broken_first", [False, True], ids=["whole", "resumed"])
def test_a_full_disk_gives_its_space_back(fetch, server, small_volume, broken_first):
    big = model_archive("model_big", {"w": os.urandom(12 * MIB)})
    cut = 4 * MIB + 5 if broken_first else None
    server.routes["/a/model_big.tar.xz"] = [Reply(200, big, etag='"1"', ranges=True, cut=cut),
                                            Reply(200, big, etag='"1"', ranges=True)]
    if broken_first:  # a broken link keeps its bytes, until the disk is full
        assert fetch.download_url(server.url("/a/model_big.tar.xz")) is None
        assert len(os.listdir(small_volume)) == 2
    assert fetch.download_url(server.url("/a/model_big.tar.xz")) is None
    assert os.listdir(small_volume) == []
    server.routes["/a/model_a.tar.xz"] = Reply(200, model_archive("model_a", {"w": bytes(MIB)}))
    assert fetch.download_url(server.url("/a/model_a.tar.xz")) is not None


CHILD = """if 1:
    import json, os, sys, urllib3
    from ombrix_sdk.model import fetch
    fetch.BASE_MODEL_DIR = sys.argv[1]
    first = fetch.download_url(sys.argv[2])
    left = sorted(os.listdir(sys.argv[1]))
    print(json.dumps([urllib3.__version__, first, left, fetch.download_url(sys.argv[2])]))
"""


@pytest.fixture(scope="module", params=["installed", "1.26"])
def urllib3_path(request, tmp_path_factory):
    """"" for the installed urllib3, else a directory holding urllib3 1.26."""
    if request.param == "installed":
        return ""
    target = str(tmp_path_factory.mktemp("urllib3"))
    if subprocess.call([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target",
                        target, "urllib3<2"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL) != 0:
        pytest.skip("pip cannot install urllib3<2 (no package index?)")
    return target


def test_a_body_cut_short_is_never_taken_for_a_whole_archive(settings, server, urllib3_path):
    server.routes["/a/model_a.tar.xz"] = [Reply(200, DATA, etag='"1"', ranges=True,
                                                cut=len(DATA) // 2),
                                          Reply(200, DATA, etag='"1"', ranges=True)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [urllib3_path, os.environ.get("PYTHONPATH")])))
    out = subprocess.check_output([sys.executable, "-c", CHILD, settings.base,
                                   server.url("/a/model_a.tar.xz")], env=env, timeout=120)
    version, first, left, second = json.loads(out.decode().splitlines()[-1])
    assert version.startswith("1.26.") == bool(urllib3_path)
    assert first is None and left == ["model_a.tar.xz.partial", "model_a.tar.xz.validator"]
    assert second == os.path.join(settings.base, "model_a") and tree(second) == ["w.bin"]
    assert [h for _, h in server.requests if "range" in h] != []  # the rest, resumed
    assert server.body_bytes < 1.5 * len(DATA) and os.listdir(settings.base) == ["model_a"]


@pytest.mark.parametrize("length", [len(DATA) + 100, len(DATA) - 100, None],
                         ids=["longer", "shorter", "none"])
def test_a_length_beside_chunked_coding_binds_nothing(fetch, settings, server, tmp_path, length):
    # Chunked coding ends the body by itself; a Content-Length beside it
    # is ignored, by download_file alone as by download_url.
    server.routes["/a/model_a.tar.xz"] = Reply(200, DATA, length=length, chunked=True)
    url = server.url("/a/model_a.tar.xz")
    alone = str(tmp_path / "alone.tar.xz")
    assert fetch.download_file(url, alone) is True
    assert Path(alone).read_bytes() == DATA
    assert fetch.download_url(url) == os.path.join(settings.base, "model_a")
    assert tree(os.path.join(settings.base, "model_a")) == ["w.bin"]
    assert os.listdir(settings.base) == ["model_a"] and len(server.requests) == 2


# A process of another user as far as file permissions go: root without
# CAP_DAC_OVERRIDE (the interpreter under root's directories stays usable).
AS_ANOTHER_USER = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
FETCH = """if 1:
    import os, sys
    os.umask(0o022)
    from ombrix_sdk.model import fetch
    fetch.BASE_MODEL_DIR, fetch.DOWNLOAD_MODEL_TIMEOUT = sys.argv[1], 30
    print(fetch.download_detection_model(sys.argv[2]))
"""


@pytest.fixture
def shared_volume(settings):
    """A group-shared base directory (2775), for a child of another user."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        pytest.skip("needs root and setpriv to act as another user")
    os.makedirs(settings.base)
    os.chmod(settings.base, 0o2775)
    return settings.base


def _fetch_as_another_user(base, url, **kwargs):
    return subprocess.Popen(AS_ANOTHER_USER + [sys.executable, "-c", FETCH, base, url],
                            stdout=subprocess.PIPE, universal_newlines=True, **kwargs)


@pytest.mark.parametrize("mode,held", [(0o644, False), (0o644, True), (0o600, False)],
                         ids=["stale", "held", "unreadable"])
def test_the_lock_file_of_another_user(settings, server, shared_volume, mode, held):
    # Left by a fetch of uid 1001: locked through a read-only descriptor
    # (so a live holder is still waited for), or, when it cannot be read,
    # passed by as where nothing locks.
    lock = os.path.join(shared_volume, "model_a.tar.xz.lock")
    open(lock, "w").close()
    os.chown(lock, 1001, 2000)
    os.chmod(lock, mode)
    url = server.url("/a/model_a.tar.xz")
    server.routes["/a/model_a.tar.xz"] = Reply(200, DATA, stall_after=1000,
                                               stall=1.0 if held else 0)
    holder = None
    if held:  # a fetch that may open the lock file for writing holds it
        holder = subprocess.Popen([sys.executable, "-c", FETCH, shared_volume, url],
                                  stdout=subprocess.PIPE, universal_newlines=True)
        while not server.requests:
            time.sleep(0.01)
    child = _fetch_as_another_user(shared_volume, url)
    out, _ = child.communicate(timeout=120)
    assert out.split() == [os.path.join(shared_volume, "model_a")]
    if holder:
        assert holder.communicate(timeout=120)[0].split() == out.split()
    assert len(server.requests) == 1  # the other fetch waited for the holder
    assert tree(os.path.join(shared_volume, "model_a")) == ["w.bin"]
    assert sorted(os.listdir(shared_volume)) == ["model_a"] + (
        ["model_a.tar.xz.lock"] if mode == 0o600 else [])


@pytest.mark.parametrize("members", [
    [Member("model_a", "dir"), Member("model_a/w.bin", data=b"w", mode=0o200)],
    [Member("model_a", "dir"), Member("model_a/w.bin", data=b"w", mode=0o000)],
    [Member("model_a", "dir"), Member("model_a/sub", "dir", mode=0o300),
     Member("model_a/sub/w.bin", data=b"w")],
    [Member("model_a", "dir"), Member("model_a/ro/w.bin", data=b"w"),
     Member("model_a/ro", "dir", mode=0o500)],
], ids=["write-only", "no-permission", "unlistable-directory", "read-only-directory"])
def test_a_model_its_owner_may_not_read_is_installed(settings, server, shared_volume, members):
    # Such entries cannot be opened to be flushed on their own: their file
    # system is flushed whole, and the model is installed at the first try.
    # What a fetch killed in the middle left of the same model (a journal,
    # the entries) is removed first.
    data = archive_bytes(members)
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:xz") as tar:
        tar.extractall(shared_volume, **(  # modes as they are, on every interpreter
            {"filter": "fully_trusted"} if hasattr(tarfile, "fully_trusted_filter") else {}))
    open(os.path.join(shared_volume, "model_a.tar.xz.journal"), "w").close()
    server.routes["/a/model_a.tar.xz"] = Reply(200, data)
    child = _fetch_as_another_user(shared_volume, server.url("/a/model_a.tar.xz"))
    out, _ = child.communicate(timeout=120)
    assert out.split() == [os.path.join(shared_volume, "model_a")]
    assert len(server.requests) == 1 and os.listdir(shared_volume) == ["model_a"]
    for member in members[1:]:
        st = os.lstat(os.path.join(shared_volume, member.name))
        assert stat.S_IMODE(st.st_mode) == (member.mode if member.mode is not None else 0o644)
