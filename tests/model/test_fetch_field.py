"""download_url in the field: transfers that break off and resume, processes
killed at any moment, several processes and threads fetching one model into
one base directory, and a file system that does not lock. Real processes,
the real loopback server, the real file system."""

import errno
import gzip
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import textwrap
import threading
import time
import types

import pytest

from fetch_support import Member, Reply, archive_bytes, cut_after_member, model_archive

ETAG = '"model-v1"'
ARCHIVE_PATH = "/archives/model_a.tar.xz"


def _model(count=12, size=200 * 1024, seed=7):
    rng = random.Random(seed)
    return {"part%03d.bin" % i: rng.getrandbits(size * 8).to_bytes(size, "little")
            for i in range(count)}


def _digest(model_dir):
    found = {}
    for dirpath, _, filenames in os.walk(model_dir):
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, model_dir)] = hashlib.sha256(f.read()).hexdigest()
    return found


def _expected(files):
    return {name: hashlib.sha256(data).hexdigest() for name, data in files.items()}


FILES = _model()
DATA = model_archive("model_a", FILES)
EXPECTED = _expected(FILES)


@pytest.fixture
def archives(monkeypatch, fetch):
    """The sha256 of every archive download_url opens for extraction."""
    seen = []
    real_open = tarfile.open

    class Spy(object):
        def __getattr__(self, name):
            return getattr(tarfile, name)

        @staticmethod
        def open(name, mode):
            with open(name, "rb") as f:
                seen.append(hashlib.sha256(f.read()).hexdigest())
            return real_open(name, mode)

    monkeypatch.setattr(fetch, "tarfile", Spy())
    return seen


# --- broken transfers --------------------------------------------------------------


def _range_requests(server):
    return [(h.get("range"), h.get("if-range")) for p, h in server.requests if "range" in h]


MIB = 1 << 20


def _kept(cut):
    """The bytes of a transfer cut after `cut` bytes that reach the disk:
    the body comes in whole chunks of 1 MiB, and the chunk in flight when
    the connection breaks is lost."""
    return cut // MIB * MIB


@pytest.fixture(scope="module")
def big():
    """A 6 MiB model archive: (files, archive bytes)."""
    files = {"weights.bin": os.urandom(6 * MIB), "labels.txt": b"person\ncar\n"}
    return files, model_archive("model_a", files)


# Cut shortly after a chunk boundary, at about 20, 50 and 90 % of the
# archive, and in the middle of a chunk (which is then sent again).
@pytest.mark.parametrize("cut,bound", [(MIB + 999, 1.05), (3 * MIB + 7, 1.05),
                                       (5 * MIB + 4321, 1.05), (4 * MIB + MIB // 2, 1.1)])
def test_broken_transfer_resumes(fetch, settings, server, clock, archives, big, cut, bound):
    files, data = big
    server.routes[ARCHIVE_PATH] = [Reply(200, data, etag=ETAG, ranges=True, cut=cut),
                                   Reply(200, data, etag=ETAG, ranges=True)]
    model_dir = fetch.download_detection_model(server.url(ARCHIVE_PATH + "?sig=1"))
    assert _digest(model_dir) == _expected(files)
    assert archives == [hashlib.sha256(data).hexdigest()]
    assert _range_requests(server) == [("bytes=%d-" % _kept(cut), ETAG)]
    assert server.body_bytes <= bound * len(data)
    assert os.listdir(settings.base) == ["model_a"]


def test_progress_of_a_resumed_transfer_counts_the_whole_archive(fetch, settings, server, log,
                                                                 clock, monkeypatch):
    data = os.urandom(8 << 20)  # not an archive: only the transfer matters here
    server.routes[ARCHIVE_PATH] = [Reply(200, data, etag=ETAG, ranges=True, cut=(3 << 20) + 5),
                                   Reply(200, data, etag=ETAG, ranges=True)]
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 2)
    fetch.download_detection_model(server.url(ARCHIVE_PATH))
    progress = [text for level, text in log if text.startswith("Downloading... ")]
    # the first transfer breaks off after 3 MiB; the second brings the rest
    assert progress == ["Downloading... 25% (2MB / 8MB)", "Downloading... 50% (4MB / 8MB)",
                        "Downloading... 75% (6MB / 8MB)", "Downloading... 100% (8MB / 8MB)"]
    assert _range_requests(server) == [("bytes=%d-" % (3 << 20), ETAG)]


NEW_FILES = dict(FILES, **{"part000.bin": b"new weights" * 1000})
NEW_DATA = model_archive("model_a", NEW_FILES)
KEPT = _kept(len(DATA) // 2)  # what a transfer cut in the middle keeps


def _rest(body, etag, **headers):
    """A 206 with `body` as the rest of the kept bytes of DATA."""
    headers["Content-Range"] = "bytes %d-%d/%d" % (KEPT, len(DATA) - 1, len(DATA))
    return Reply(206, body, headers=headers, etag=etag)


@pytest.mark.parametrize("second,files", [
    # the server ignores Range and sends everything again
    (Reply(200, DATA, etag=ETAG), FILES),
    # nothing to satisfy the range with, then the whole archive
    ([Reply(416), Reply(200, DATA, etag=ETAG)], FILES),
    # a new model was published meanwhile: If-Range fails, the new archive comes whole
    (Reply(200, NEW_DATA, etag='"model-v2"', ranges=True), NEW_FILES),
    # a 206 that does not continue the kept bytes
    ([Reply(206, DATA[100:], etag=ETAG, headers={"Content-Range": "bytes 100-%d/%d" % (
        len(DATA) - 1, len(DATA))}), Reply(200, DATA, etag=ETAG)], FILES),
    # a 206 of as many bytes from another place (the server ignored the offset)
    ([Reply(206, DATA[:len(DATA) - KEPT], etag=ETAG, headers={"Content-Range": "bytes 0-%d/%d" % (
        len(DATA) - KEPT - 1, len(DATA))}), Reply(200, DATA, etag=ETAG)], FILES),
    # a 206 that stops a byte short
    ([Reply(206, DATA[KEPT:-1], etag=ETAG, headers={"Content-Range": "bytes %d-%d/%d" % (
        KEPT, len(DATA) - 2, len(DATA))}), Reply(200, DATA, etag=ETAG)], FILES),
    # a 206 of another version of the archive
    ([_rest(bytes(len(DATA) - KEPT), '"model-v2"'), Reply(200, DATA, etag=ETAG)], FILES),
    # a 206 in a content coding: a range of the coded bytes, which cannot be decoded
    ([_rest(gzip.compress(DATA)[KEPT:], ETAG, **{"Content-Encoding": "gzip"}),
      Reply(200, DATA, etag=ETAG)], FILES),
], ids=["ignores-range", "416", "changed-etag", "wrong-content-range", "206-other-place",
        "206-short",
        "206-changed-etag", "206-gzip"])
def test_unusable_answers_to_a_resume_start_over(fetch, settings, server, clock, archives,
                                                 second, files):
    first = Reply(200, DATA, etag=ETAG, ranges=True, cut=len(DATA) // 2)
    second = second if isinstance(second, list) else [second]
    server.routes[ARCHIVE_PATH] = [first] + second
    model_dir = fetch.download_detection_model(server.url(ARCHIVE_PATH))
    assert _digest(model_dir) == _expected(files)
    assert archives == [hashlib.sha256(model_archive("model_a", files)).hexdigest()]
    assert len(_range_requests(server)) == 1
    assert clock.sleeps == [1]  # after the cut only: the unusable answer is no failed attempt
    assert os.listdir(settings.base) == ["model_a"]


@pytest.mark.parametrize("validators,ranged", [
    ({}, False),
    ({"last_modified": "Tue, 08 Dec 2026 01:00:00 GMT"}, True),
    ({"etag": 'W/"weak"'}, False),
    # the bytes written are decoded ones, which a range of the sent bytes
    # cannot continue
    ({"etag": ETAG, "headers": {"Content-Encoding": "gzip"}}, False),
], ids=["no-validator", "last-modified", "weak-etag", "gzip"])
def test_validators(fetch, settings, server, clock, archives, validators, ranged):
    body = gzip.compress(DATA) if "headers" in validators else DATA
    server.routes[ARCHIVE_PATH] = [Reply(200, body, ranges=True, cut=len(body) // 2,
                                         **validators),
                                   Reply(200, body, ranges=True, **validators)]
    model_dir = fetch.download_detection_model(server.url(ARCHIVE_PATH))
    assert _digest(model_dir) == EXPECTED
    assert archives == [hashlib.sha256(DATA).hexdigest()]
    assert len(_range_requests(server)) == (1 if ranged else 0)
    assert os.listdir(settings.base) == ["model_a"]


@pytest.mark.parametrize("length,ranged", [
    (10 ** 17, True), (10 ** 18, False), (10 ** 20, False),
], ids=["18-digits", "19-digits", "beyond-64-bits"])
def test_an_announced_size_is_kept_up_to_18_digits(fetch, settings, server, clock, archives,
                                                   length, ranged):
    # The first transfer announces `length` bytes and breaks off. A size of
    # up to 18 digits is kept beside the bytes, and the next attempt asks for
    # the rest; a longer one is not, and it starts over.
    server.routes[ARCHIVE_PATH] = [Reply(200, DATA, etag=ETAG, length=length,
                                         cut=len(DATA) // 2),
                                   Reply(200, DATA, etag=ETAG)]
    model_dir = fetch.download_detection_model(server.url(ARCHIVE_PATH))
    assert _digest(model_dir) == EXPECTED
    assert _range_requests(server) == ([("bytes=%d-" % KEPT, ETAG)] if ranged else [])


def test_kept_bytes_of_any_length_are_continued(fetch, settings, server, clock, archives):
    # What a power cut left: a partial file of a single byte beside its
    # validator. The fetch asks for the rest from there.
    os.makedirs(settings.base)
    with open(os.path.join(settings.base, "model_a.tar.xz.partial"), "wb") as f:
        f.write(DATA[:1])
    with open(os.path.join(settings.base, "model_a.tar.xz.validator"), "w") as f:
        f.write("%s\n%d\n" % (ETAG, len(DATA)))
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG, ranges=True)
    model_dir = fetch.download_detection_model(server.url(ARCHIVE_PATH))
    assert _digest(model_dir) == EXPECTED
    assert _range_requests(server) == [("bytes=1-", ETAG)]


@pytest.mark.parametrize("error,kept", [(ConnectionError("reset"), True),
                                         (RuntimeError("odd"), False)], ids=["broken", "other"])
def test_a_requests_stand_in_without_exceptions(fetch, settings, server, log, monkeypatch,
                                                error, kept):
    # A stand-in for requests with get() alone, whose body fails after its
    # first chunk: a broken connection keeps the bytes for the next attempt,
    # any other error drops them; requests.exceptions is not needed to tell.
    import requests

    def get(*args, **kwargs):
        response = requests.get(*args, **kwargs)
        chunks = response.iter_content

        def iter_content(*a, **k):
            for chunk in chunks(*a, **k):
                yield chunk
                raise error
        response.iter_content = iter_content
        return response

    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG)
    monkeypatch.setattr(fetch, "requests", types.SimpleNamespace(get=get))
    url = server.url(ARCHIVE_PATH)
    assert fetch.download_url(url) is None
    assert log[-1] == ("warning", "Failed to download from %s - %s" % (url, error))
    assert sorted(os.listdir(settings.base)) == (
        ["model_a.tar.xz.partial", "model_a.tar.xz.validator"] if kept else [])


def test_partial_bytes_are_never_taken_for_an_archive(fetch, settings, server, log):
    # Kept bytes live under a name of their own: the next call does not
    # find an archive to reuse, and a refused request keeps them.
    server.routes[ARCHIVE_PATH] = [Reply(200, DATA, etag=ETAG, ranges=True, cut=len(DATA) // 2),
                                   Reply(403, b"expired"),
                                   Reply(200, DATA, etag=ETAG, ranges=True)]
    url = server.url(ARCHIVE_PATH)
    assert fetch.download_url(url) is None
    assert sorted(os.listdir(settings.base)) == ["model_a.tar.xz.partial",
                                                 "model_a.tar.xz.validator"]
    assert fetch.download_url(url) is None
    assert fetch.download_url(url) == os.path.join(settings.base, "model_a")
    assert not any("tar.xz file already exists" in text for _, text in log)
    assert [r for r, _ in _range_requests(server)] == ["bytes=%d-" % _kept(len(DATA) // 2)] * 2


@pytest.mark.skipif(not shutil.which("strace"), reason="needs strace")
def test_every_entry_of_the_model_is_flushed_before_the_journal_goes(settings, server, tmp_path):
    # The fetch runs under strace: each directory and regular file of the
    # model, and the base directory, is flushed by fsync before the journal
    # is removed; the large file was sent on its way while it was written.
    members = [Member("model_a", "dir"), Member("model_a/model.bin", data=os.urandom(9 << 20)),
               Member("model_a/sub", "dir"), Member("model_a/sub/labels.txt", data=b"car"),
               Member("model_a/link", "symlink", linkname="model.bin")]
    server.routes[ARCHIVE_PATH] = Reply(200, archive_bytes(members), etag=ETAG)
    code = ("import sys\nfrom ombrix_sdk.model import fetch\nfetch.BASE_MODEL_DIR = sys.argv[1]\n"
            "assert fetch.download_url(sys.argv[2]) is not None")
    trace = str(tmp_path / "trace")
    subprocess.run(["strace", "-f", "--seccomp-bpf", "-qq", "-y", "-o", trace, "-e",
                    "trace=fsync,fdatasync,sync_file_range,unlink,unlinkat", sys.executable,
                    "-c", code, settings.base, server.url(ARCHIVE_PATH)],
                   check=True, timeout=300, stdout=subprocess.DEVNULL)
    calls = []
    with open(trace) as f:
        for line in f:
            found = re.search(r"(\w+)\((?:\d+<([^>]*)>|(?:AT_FDCWD, )?\"([^\"]*)\")", line)
            if found:
                calls.append((found.group(1), found.group(2) or found.group(3)))
    journal = [i for i, (name, path) in enumerate(calls)
               if name.startswith("unlink") and path.endswith(".journal")]
    flushed = {path for name, path in calls[:journal[0]] if name in ("fsync", "fdatasync")}
    model_dir = os.path.join(settings.base, "model_a")
    entries = {settings.base, model_dir} | {
        os.path.join(model_dir, n) for n in ("model.bin", "sub", "sub/labels.txt")}
    assert len(journal) == 1 and entries <= flushed, sorted(entries - flushed)
    assert ("sync_file_range", os.path.join(model_dir, "model.bin")) in calls[:journal[0]]


# --- child processes -------------------------------------------------------------------

CHILD = textwrap.dedent("""
    import hashlib, json, os, sys
    from ombrix_sdk.model import fetch
    fetch.BASE_MODEL_DIR = sys.argv[1]
    sys.stdin.readline()  # go
    if os.environ.get("CHILD_CLOSES_STDIN"):
        os.close(0)  # as a daemon started without stdin: descriptor 0 is free
    before = set(os.listdir("/proc/self/fd"))
    result = fetch.download_detection_model(sys.argv[2])
    left = sorted(set(os.listdir("/proc/self/fd")) - before)  # descriptors left open
    files = {}
    if result is not None:
        for dirpath, _, names in os.walk(result):
            for name in names:
                path = os.path.join(dirpath, name)
                with open(path, "rb") as f:
                    files[os.path.relpath(path, result)] = hashlib.sha256(f.read()).hexdigest()
    print(json.dumps({"dir": result, "files": files, "left": left}), flush=True)
""")


class Child(object):
    """A process running download_detection_model(url) into base; its log
    lines are collected as they come."""

    def __init__(self, base, url, env=None, kill_on=None):
        self.kill_on = kill_on  # killed as soon as a line holding this comes
        self.proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, base, url], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.lines = []
        self.seen = threading.Condition()
        self.out = []  # stdout is read as it comes too, so the child never blocks on it
        self._readers = [threading.Thread(target=self._read),
                         threading.Thread(target=lambda: self.out.extend(self.proc.stdout))]
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _read(self):
        for raw in self.proc.stderr:
            line = raw.decode("utf-8", "replace")
            if self.kill_on and self.kill_on in line:
                self.proc.send_signal(signal.SIGKILL)
            with self.seen:
                self.lines.append(line)
                self.seen.notify_all()

    def go(self):
        self.proc.stdin.write(b"go\n")
        self.proc.stdin.flush()

    def wait_for(self, text, timeout=30):
        """True once a log line containing `text` came; False when the
        process ended first."""
        deadline = time.time() + timeout
        with self.seen:
            while not any(text in line for line in self.lines):
                if self.proc.poll() is not None and not self._readers[0].is_alive():
                    return False
                self.seen.wait(0.005)
                assert time.time() < deadline, "no %r in %s" % (text, self.lines)
        return True

    def last_phase(self):
        with self.seen:
            lines = list(self.lines)
        phase = "start"
        for line in lines:
            for marker, name in PHASES:
                if marker in line:
                    phase = name
        return phase

    def finish(self, timeout=60):
        """Waits until the process ended (killed after `timeout`, which
        fails the test) and its output was read."""
        try:
            self.proc.wait(timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(30)
            for reader in self._readers:
                reader.join(5)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.finish()

    def result(self, timeout=60):
        self.finish(timeout)
        assert self.proc.returncode == 0, "".join(self.lines)
        return json.loads(b"".join(self.out).decode().strip().splitlines()[-1])


PHASES = [("Downloading...", "transfer"), ("Extracting model file", "extraction"),
          ("Finished the downloading", "done")]


def _archive_gets(server):
    return sum(1 for p in server.paths() if p.startswith(ARCHIVE_PATH))


def _start(base, url, count, env=None, kill_on=None):
    children = [Child(base, url, env, kill_on) for _ in range(count)]
    for child in children:
        child.go()
    return children


# Many small files make extraction and clean-up long enough to be hit.
CRASH_FILES = _model(count=1500, size=1024, seed=11)
CRASH_DATA = model_archive("model_a", CRASH_FILES)


@pytest.fixture
def fast_base(fetch, settings, monkeypatch):
    """A base directory on tmpfs where there is one (flushing is free
    there, which keeps the many trials short), else the usual one."""
    if not os.access("/dev/shm", os.W_OK):
        return settings.base
    root = tempfile.mkdtemp(prefix="ombrix-kill-", dir="/dev/shm")
    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", os.path.join(root, "models"))
    yield fetch.BASE_MODEL_DIR
    shutil.rmtree(root)


TRIALS = int(os.environ.get("OMBRIX_KILL_TRIALS", "24"))
REMOVING = "removing the unfinished model directory"


def test_killed_at_any_moment_never_leaves_an_incomplete_model(fetch, settings, server,
                                                               fast_base):
    """SIGKILL during the transfer, the extraction, or the clean-up of an
    earlier crash; the next call returns the complete model."""
    settings.base = fast_base
    rng = random.Random(20261208)
    server.routes[ARCHIVE_PATH] = Reply(200, CRASH_DATA, etag=ETAG, ranges=True,
                                        pace=(64 * 1024, 0.004))
    url = server.url(ARCHIVE_PATH)
    expected = _expected(CRASH_FILES)
    hit, served, bad = [], 0, []
    for trial in range(TRIALS):
        aim = ("transfer", "extraction", "clean-up")[trial % 3]
        if os.path.exists(settings.base):
            shutil.rmtree(settings.base)
        child = _start(settings.base, url, 1)[0]
        marker = "Downloading..." if aim == "transfer" else "Extracting model file"
        if child.wait_for(marker):
            time.sleep(rng.uniform(0, 0.25 if aim == "transfer" else 0.15))
        hit.append(child.last_phase())
        child.kill()
        if aim == "clean-up":
            # the next process removes what the killed one extracted, and is
            # killed as soon as it says so
            second = _start(settings.base, url, 1, kill_on=REMOVING)[0]
            second.finish()
            said = "".join(second.lines)
            if REMOVING in said and "Downloading..." not in said:
                hit.append("clean-up")
            second.kill()
        model_dir = fetch.download_url(url)
        served += 1
        if model_dir is None or _digest(model_dir) != expected:
            bad.append((trial, aim, model_dir))
        assert os.listdir(settings.base) == ["model_a"]
    assert bad == []
    assert {"transfer", "extraction", "clean-up"} <= set(hit), hit
    sys.stderr.write("kill test: %d trials, phases hit %s, %d incomplete of %d served\n" % (
        TRIALS, {p: hit.count(p) for p in set(hit)}, len(bad), served))


# --- one model, many callers ---------------------------------------------------------------


@pytest.mark.parametrize("system", ["ofd-locks", "FLOCK_ONLY", "DIRS_CANNOT_FLUSH", "no-stdin"])
def test_processes_fetch_one_model_once(fetch, settings, server, preloaded, system):
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG, pace=(256 * 1024, 0.02))
    env = None
    if system.isupper():  # a stand-in for the C library's calls
        env = preloaded(system)
    elif system == "no-stdin":  # the lock file takes descriptor 0
        env = dict(os.environ, CHILD_CLOSES_STDIN="1")
    for round_ in range(2):
        if os.path.exists(settings.base):
            shutil.rmtree(settings.base)
        before = _archive_gets(server)
        children = _start(settings.base, server.url(ARCHIVE_PATH + "?r=%d" % round_), 4, env)
        results = [child.result() for child in children]
        assert [r["files"] for r in results] == [EXPECTED] * 4
        assert {r["dir"] for r in results} == {os.path.join(settings.base, "model_a")}
        assert [r["left"] for r in results] == [[]] * 4
        assert _archive_gets(server) - before == 1
        assert os.listdir(settings.base) == ["model_a"]


def test_threads_fetch_one_model_once(fetch, settings, server):
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG, pace=(256 * 1024, 0.01))
    start = threading.Barrier(4, timeout=60)
    results = []

    def call():
        start.wait()
        results.append(fetch.download_url(server.url(ARCHIVE_PATH)))

    threads = [threading.Thread(target=call) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == [os.path.join(settings.base, "model_a")] * 4
    assert _digest(results[0]) == EXPECTED
    assert _archive_gets(server) == 1
    assert os.listdir(settings.base) == ["model_a"]


def test_a_killed_holder_does_not_block_the_others(fetch, settings, server):
    server.routes[ARCHIVE_PATH] = [
        Reply(200, DATA, etag=ETAG, ranges=True, stall_after=len(DATA) // 2, stall=60),
        Reply(200, DATA, etag=ETAG, ranges=True)]
    url = server.url(ARCHIVE_PATH)
    holder = _start(settings.base, url, 1)[0]
    assert holder.wait_for("Downloading...")
    while not os.path.exists(os.path.join(settings.base, "model_a.tar.xz.validator")):
        time.sleep(0.01)
    waiters = _start(settings.base, url, 2)
    time.sleep(0.5)
    assert [w.proc.poll() for w in waiters] == [None, None]  # waiting for the holder
    holder.kill()
    killed = time.time()
    results = [w.result() for w in waiters]
    assert time.time() - killed < 20
    assert [r["files"] for r in results] == [EXPECTED] * 2
    assert _archive_gets(server) == 2
    assert len(_range_requests(server)) == 1  # the rest of the holder's bytes
    assert os.listdir(settings.base) == ["model_a"]


# Stand-ins, put in front of the C library: NO_LOCKS, a file system that
# accepts locks and locks nothing, as some network file systems do (every
# lock call succeeds); LOCKS_FAIL, one whose lock calls fail (ENOLCK, as on
# NFS without its lock service), LOCKS_FAIL_OLD_KERNEL the same under a
# kernel without open-file-description locks (EINVAL for those);
# FLOCK_ONLY, such a kernel on a file system that locks (flock() works).
LOCK_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>

/* and a kernel without renameat2, or a file system without its flag; with
   PUBLISH_FAILS, moving a finished model out of its staging directory fails
   (EIO) */
#ifdef NO_LOCKS_NO_RENAMEAT2
#define NO_LOCKS
#define REFUSED ENOSYS
#elif defined(NO_LOCKS_NO_RENAME_NOREPLACE)
#define NO_LOCKS
#define REFUSED EINVAL
#endif
#if defined(REFUSED) || defined(PUBLISH_FAILS)
static int failing(const char* from) {
#ifdef PUBLISH_FAILS
  return strstr(from, ".staging/") != NULL;
#else
  (void)from;
  return 0;
#endif
}
long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a = va_arg(ap, long), b = va_arg(ap, long), c = va_arg(ap, long);
  long d = va_arg(ap, long), e = va_arg(ap, long), f = va_arg(ap, long);
  va_end(ap);
#ifdef REFUSED
  if (number == SYS_renameat2) return errno = REFUSED, -1;
#endif
  if (number == SYS_renameat2 && failing((const char*)b)) return errno = EIO, -1;
  return ((long (*)(long, ...))dlsym(RTLD_NEXT, "syscall"))(number, a, b, c, d, e, f);
}
int rename(const char* from, const char* to) {
  if (failing(from)) return errno = EIO, -1;
  return ((int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename"))(from, to);
}
#endif

/* BASE_UNLISTABLE: the directory named by $UNLISTABLE cannot be listed, as
   for a user with only search permission on it */
#ifdef BASE_UNLISTABLE
#include <dirent.h>
#include <stdlib.h>
DIR* opendir(const char* path) {
  const char* unlistable = getenv("UNLISTABLE");
  if (unlistable && strcmp(path, unlistable) == 0) return errno = EACCES, (DIR*)0;
  return ((DIR * (*)(const char*)) dlsym(RTLD_NEXT, "opendir"))(path);
}
#endif

/* READS_FAIL: reading a file whose name ends in $FAILING_READS fails (EIO) */
#ifdef READS_FAIL
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
ssize_t read(int fd, void* buf, size_t count) {
  const char* suffix = getenv("FAILING_READS");
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = suffix ? readlink(link, target, sizeof target - 1) : -1;
  size_t s = suffix ? strlen(suffix) : 0;
  if (n > 0 && n >= (ssize_t)s && memcmp(target + n - s, suffix, s) == 0) return errno = EIO, -1;
  return ((ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read"))(fd, buf, count);
}
#endif

#ifdef DIRS_CANNOT_FLUSH
static int intercepted(int cmd) { (void)cmd; return 0; }
#define ANSWER 0
int fsync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return errno = EINVAL, -1;
  return ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
}
#elif defined(NO_LOCKS)
static int intercepted(int cmd) {
  return cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
}
#define ANSWER 0
int flock(int fd, int op) { (void)fd; (void)op; return 0; }
#elif defined(LOCKS_FAIL) || defined(LOCKS_FAIL_OLD_KERNEL)
static int intercepted(int cmd) {
  return cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
}
#ifdef LOCKS_FAIL_OLD_KERNEL
#define ANSWER (errno = cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW ? EINVAL : ENOLCK, -1)
#else
#define ANSWER (errno = ENOLCK, -1)
#endif
int flock(int fd, int op) { (void)fd; (void)op; errno = ENOLCK; return -1; }
#elif defined(FLOCK_ONLY)
static int intercepted(int cmd) {
  return cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW || cmd == F_OFD_GETLK;
}
#define ANSWER (errno = EINVAL, -1)
#else
static int intercepted(int cmd) { (void)cmd; return 0; }
#define ANSWER 0
#endif
#define PASS(name)                                                     \
  int name(int fd, int cmd, ...) {                                     \
    va_list ap;                                                        \
    va_start(ap, cmd);                                                 \
    void* arg = va_arg(ap, void*);                                     \
    va_end(ap);                                                        \
    if (intercepted(cmd)) return ANSWER;                               \
    int (*real)(int, int, ...) = (int (*)(int, int, ...))dlsym(RTLD_NEXT, #name); \
    return real(fd, cmd, arg);                                         \
  }
PASS(fcntl)
PASS(fcntl64)
"""


def _lock_shim(tmp_path_factory, kind):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler to build the %s stand-in" % kind)
    src = tmp_path_factory.mktemp(kind.lower().replace("+", "-")) / "shim.c"
    src.write_text(LOCK_SHIM)
    lib = str(src.with_suffix(".so"))
    subprocess.check_call([compiler] + ["-D" + k for k in kind.split("+")] + [
        "-shared", "-fPIC", "-o", lib, str(src), "-ldl"], timeout=120)
    return lib


@pytest.fixture(scope="module")
def preloaded(tmp_path_factory):
    """preloaded(kind): the environment of a child with that stand-in."""
    built = {}

    def env(kind):
        if kind not in built:
            built[kind] = _lock_shim(tmp_path_factory, kind)
        return dict(os.environ, LD_PRELOAD=" ".join(
            filter(None, [os.environ.get("LD_PRELOAD"), built[kind]])))
    return env


@pytest.mark.parametrize("file_system, on_disk", [
    ("NO_LOCKS", False), ("NO_LOCKS", True), ("LOCKS_FAIL", False),
    ("LOCKS_FAIL_OLD_KERNEL", False)],
    ids=["downloaded", "archive-on-disk", "locks-fail", "locks-fail-old-kernel"])
def test_without_working_locks_each_process_fetches_into_its_own_names(fetch, settings, server,
                                                                       preloaded, file_system,
                                                                       on_disk):
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG, pace=(256 * 1024, 0.02))
    if on_disk:  # many members: the others take it while the first extracts
        os.makedirs(settings.base)
        with open(os.path.join(settings.base, "model_a.tar.xz"), "wb") as f:
            f.write(CRASH_DATA)
    children = _start(settings.base, server.url(ARCHIVE_PATH), 3 + on_disk, preloaded(file_system))
    results = [child.result() for child in children]
    assert [r["files"] for r in results] == [_expected(CRASH_FILES) if on_disk else EXPECTED] * (
        3 + on_disk)
    lines = [line for child in children for line in child.lines]
    own = [line for line in lines if "\ttar.xz file: " in line]
    assert all(line.rstrip().endswith(".part") for line in own) and bool(own) != on_disk
    assert (_archive_gets(server) == 0) == on_disk and _archive_gets(server) <= 3
    assert [line for line in lines if "WARNING" in line] == []
    # (where lock calls fail, the empty lock file stays: no fetch held it)
    assert sorted(os.listdir(settings.base)) == ["model_a"] + (
        ["model_a.tar.xz.lock"] if file_system.startswith("LOCKS_FAIL") else [])


def _in_child(code, settings, server, *args, **kwargs):
    """Runs `code` in a child, its arguments the base directory, the
    archive's URL and `args`; returns what it printed."""
    return subprocess.run([sys.executable, "-c", code, settings.base, server.url(ARCHIVE_PATH)] +
                          list(args), stdout=subprocess.PIPE, timeout=300,
                          universal_newlines=True, check=True, **kwargs).stdout


# download_url in a child: the model directory it returns
ONE_FETCH = ("import sys; from ombrix_sdk.model import fetch; "
             "fetch.BASE_MODEL_DIR = sys.argv[1]; print(fetch.download_url(sys.argv[2]))")


@pytest.mark.parametrize("case", ["alone", "overtaken", "cannot place"])
@pytest.mark.parametrize("file_system", ["NO_LOCKS", "NO_LOCKS_NO_RENAMEAT2",
                                         "NO_LOCKS_NO_RENAME_NOREPLACE"])
def test_a_fetch_in_names_of_its_own_places_its_model(settings, server, preloaded, file_system,
                                                      case):
    # A fetch in names of its own places its model, with or without
    # renameat2 and its flag; when another process placed the model just
    # before it finished its extraction, the other's model stays, and is the
    # result; when the model cannot be moved into place, the error is
    # reported and nothing of the fetch stays.
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG)
    code = textwrap.dedent("""
        import logging, os, sys, tarfile, types
        from ombrix_sdk.model import fetch
        base = fetch.BASE_MODEL_DIR = sys.argv[1]
        logging.getLogger("ombrix_sdk.MODEL").addHandler(logging.StreamHandler(sys.stdout))

        class Overtaken(tarfile.TarFile):
            def __iter__(self):
                for member in tarfile.TarFile.__iter__(self):
                    yield member
                if sys.argv[3] == "overtaken":
                    os.makedirs(os.path.join(base, "model_a"))
                    open(os.path.join(base, "model_a", "theirs"), "w").close()

        fetch.tarfile = types.SimpleNamespace(**dict(vars(tarfile), open=Overtaken.open))
        print(fetch.download_url(sys.argv[2]))
        print(sorted(os.listdir(base)))
        if os.path.isdir(os.path.join(base, "model_a")):
            print(sorted(os.listdir(os.path.join(base, "model_a"))))
    """)
    url = server.url(ARCHIVE_PATH)
    preload = preloaded(file_system + ("+PUBLISH_FAILS" if case == "cannot place" else ""))
    out = _in_child(code, settings, server, case, env=preload).splitlines()
    if case == "cannot place":
        staged = re.escape(os.path.join(settings.base, "model_a.tar.xz.")) + r"[^/]+\.staging/"
        assert re.fullmatch("Failed to download from %s - \\[Errno 5\\] [^:]+: '%smodel_a'" % (
            re.escape(url), staged), out[-3]), out
        assert out[-2:] == ["None", "[]"]
    else:
        assert out[-3:] == [os.path.join(settings.base, "model_a"), "['model_a']",
                            str(["theirs"] if case == "overtaken" else sorted(FILES))]


def test_descriptor_0_freed_while_extracting_is_neither_refused_nor_leaked(settings, server):
    # A service that closes its standard input while a fetch runs (the lock
    # file taking descriptor 0 is the processes test's "no-stdin"): the
    # journal, and the files the extraction writes, each opened again to be
    # sent on its way, then get descriptor 0.
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG)
    code = textwrap.dedent("""
        import json, logging, os, sys, tarfile, types
        from ombrix_sdk.model import fetch
        fetch.BASE_MODEL_DIR = sys.argv[1]
        seen = []

        class Freeing(logging.Handler):
            def emit(self, record):
                if record.getMessage().startswith("Extracting model file"):
                    os.close(0)

        class Holding(tarfile.TarFile):
            @classmethod
            def open(cls, *args, **kwargs):
                os.open(os.devnull, os.O_RDONLY)  # descriptor 0, so the archive is not
                tar = super(Holding, cls).open(*args, **kwargs)
                os.close(0)
                return tar

            def extract(self, *args, **kwargs):
                seen.append(os.path.exists("/proc/self/fd/0"))
                return tarfile.TarFile.extract(self, *args, **kwargs)

        logging.getLogger("ombrix_sdk.MODEL").addHandler(Freeing())
        fetch.tarfile = types.SimpleNamespace(**dict(vars(tarfile), open=Holding.open))
        model_dir = fetch.download_url(sys.argv[2])
        print(json.dumps([model_dir, os.path.exists("/proc/self/fd/0"), len(seen), any(seen)]))
    """)
    out = _in_child(code, settings, server, stdin=subprocess.DEVNULL)
    assert json.loads(out) == [os.path.join(settings.base, "model_a"), False, len(FILES) + 1,
                               False]
    assert _digest(os.path.join(settings.base, "model_a")) == EXPECTED


def test_at_any_descriptor_limit_a_fetch_brings_the_model_or_says_why(settings, server):
    # A process at its limit of open files: each file the fetch opens, in
    # turn, is the one refused (EMFILE); the fetch then reports that error,
    # and the next one, with descriptors to spare, brings the model whole.
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG)
    code = textwrap.dedent("""
        import json, logging, os, resource, shutil, sys
        from ombrix_sdk.model import fetch
        base = fetch.BASE_MODEL_DIR = sys.argv[1]
        said = []
        logger = logging.getLogger("ombrix_sdk.MODEL")
        logger.addHandler(type("H", (logging.Handler,), {
            "emit": lambda self, record: said.append(record.getMessage())})())
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        outcomes = []
        for spare in range(40):
            shutil.rmtree(base, ignore_errors=True)
            lowest = os.open(os.devnull, os.O_RDONLY)
            os.close(lowest)
            del said[:]
            resource.setrlimit(resource.RLIMIT_NOFILE, (lowest + spare, hard))
            try:
                result = fetch.download_url(sys.argv[2])
            finally:
                resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
            why = said[-1] if result is None else ""
            outcomes.append([result, why, result or fetch.download_url(sys.argv[2])])
        print(json.dumps(outcomes))
    """)
    out = _in_child(code, settings, server)
    model_dir = os.path.join(settings.base, "model_a")
    failed = 0
    for result, said, again in json.loads(out):
        assert again == model_dir
        if result is None:
            failed += 1
            assert os.strerror(errno.EMFILE) in said, said
        else:
            assert result == model_dir
    assert failed > 3 and result == model_dir
    assert _digest(model_dir) == EXPECTED


def test_left_overs_of_a_crash_go_and_nothing_else(fetch, settings, server):
    # An extraction that died half-way (its journal and half a model), the
    # own names of a fetch on a lock-less file system that died; beside
    # them files that no fetch made.
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG)
    base = settings.base
    os.makedirs(os.path.join(base, "model_a"))
    with open(os.path.join(base, "model_a", "part000.bin"), "wb") as f:
        f.write(b"half")
    with open(os.path.join(base, "model_a.tar.xz.journal"), "w") as f:
        f.write("x\n")
    os.makedirs(os.path.join(base, "model_a.tar.xz.4242-1-5f3a.staging", "model_a"))
    open(os.path.join(base, "model_a.tar.xz.4242-2-77.part"), "w").close()
    keep = ["model_a.tar.xz.notes", "model_b.tar.xz.4242-1-5f3a.part", "notes.txt",
            "model_a.tar.xz.x-1-2.part"]
    for name in keep:
        open(os.path.join(base, name), "w").close()
    assert fetch.download_url(server.url(ARCHIVE_PATH)) == os.path.join(base, "model_a")
    assert _digest(os.path.join(base, "model_a")) == EXPECTED
    assert sorted(os.listdir(base)) == sorted(keep + ["model_a"])


def test_a_base_directory_that_cannot_be_listed_still_gets_the_model(settings, server,
                                                                     preloaded):
    # Left-overs of a crashed lock-less fetch cannot be looked for there;
    # they stay, and the fetch goes on.
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG)
    os.makedirs(settings.base)
    leftover = os.path.join(settings.base, "model_a.tar.xz.4242-1-5f3a.part")
    open(leftover, "w").close()
    out = _in_child(ONE_FETCH, settings, server,
                    env=dict(preloaded("BASE_UNLISTABLE"), UNLISTABLE=settings.base))
    assert out.split() == [os.path.join(settings.base, "model_a")]
    assert _digest(os.path.join(settings.base, "model_a")) == EXPECTED
    assert sorted(os.listdir(settings.base)) == ["model_a", os.path.basename(leftover)]


def test_a_kept_validator_that_cannot_be_read_starts_the_transfer_over(settings, server,
                                                                         preloaded):
    # A disk error on the validator of a broken transfer: nothing of it can
    # be trusted, so the archive comes whole from byte 0.
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG, ranges=True)
    os.makedirs(settings.base)
    kept = os.path.join(settings.base, "model_a.tar.xz")
    with open(kept + ".partial", "wb") as f:
        f.write(DATA[:len(DATA) // 2])
    with open(kept + ".validator", "w") as f:
        f.write("%s\n%d\n" % (ETAG, len(DATA)))
    out = _in_child(ONE_FETCH, settings, server,
                    env=dict(preloaded("READS_FAIL"), FAILING_READS=".validator"))
    assert out.split() == [os.path.join(settings.base, "model_a")]
    assert _digest(os.path.join(settings.base, "model_a")) == EXPECTED
    assert _range_requests(server) == [] and _archive_gets(server) == 1


def test_a_waiting_call_keeps_to_the_retry_budget(fetch, settings, server, log, monkeypatch):
    server.routes[ARCHIVE_PATH] = Reply(200, DATA, etag=ETAG, stall_after=1000, stall=30)
    url = server.url(ARCHIVE_PATH)
    holder = threading.Thread(target=fetch.download_url, args=(url,))
    holder.daemon = True
    holder.start()
    # The holder's request is under way (with its time-out) before the
    # waiting call's budget is shortened; a slow machine could otherwise let
    # the holder time out first and give the lock up.
    while _archive_gets(server) == 0:
        time.sleep(0.01)
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 1.5)
    started = time.time()
    assert fetch.download_detection_model(url) is None
    assert time.time() - started < 10
    lock = os.path.join(settings.base, "model_a.tar.xz.lock")
    assert ("warning", "Failed to download from %s - timed out waiting for the fetch that holds %r"
            % (url, lock)) in log
    server.stopping.set()  # lets the holder's transfer break off
    holder.join(10)


@pytest.mark.parametrize("path", ["/archives/", "/archives/.."], ids=["slash", "dot-dot"])
def test_a_journal_never_removes_the_base_directory_or_above(fetch, settings, server, path):
    # With a URL path like these the "model directory" is the base
    # directory or its parent; a file named like their journal must not
    # make the fetch remove them.
    os.makedirs(settings.base)
    keep = os.path.join(settings.base, "keep.bin")
    open(keep, "w").close()
    model_dir = os.path.join(settings.base, os.path.basename(path))
    open(os.path.join(settings.base, os.path.basename(path)) + ".journal", "w").close()
    server.routes[path] = Reply(404)
    fetch.download_url(server.url(path))
    assert os.path.exists(keep) and os.path.isdir(model_dir)


# --- whole by the archive's own end ------------------------------------------------------

CUT_FILES = {"a.bin": os.urandom(64 * 1024), "b.bin": os.urandom(64 * 1024)}
WHOLE = model_archive("model_a", CUT_FILES)
CUT = cut_after_member(WHOLE, 2)  # model_a/ and model_a/a.bin: tarfile sees an end there


class _Members(object):
    """An archive object that shows its members and nothing of its stream."""

    def __init__(self, tar):
        self._tar = tar

    def __iter__(self):
        return iter(self._tar)

    def extract(self, member, path):
        return self._tar.extract(member, path=path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._tar.close()


@pytest.mark.parametrize("path", ["no-length", "chunked", "length-of-the-cut", "on-disk",
                                  "resumed", "journal", "lock-less", "stand-in-tarfile"])
def test_an_archive_cut_at_a_member_boundary_is_never_a_model(fetch, settings, server, log,
                                                              preloaded, monkeypatch, path):
    # However the cut archive comes (a close-delimited body, a chunked one, a
    # length that announces just the cut bytes, an archive left on disk, the
    # rest of a resumed transfer, after the journal's recovery, in names of
    # its own, through a tarfile stand-in), the attempt fails and leaves no
    # model; the next one, given the whole archive, brings it.
    if path == "stand-in-tarfile":
        monkeypatch.setattr(fetch, "tarfile", types.SimpleNamespace(**dict(
            vars(tarfile), open=lambda name, mode: _Members(tarfile.open(name, mode)))))
    base, url = settings.base, server.url(ARCHIVE_PATH)
    archive = os.path.join(base, "model_a.tar.xz")
    first = {"no-length": Reply(200, CUT, length=None), "lock-less": Reply(200, CUT, length=None),
             "chunked": Reply(200, CUT, length=None, chunked=True),
             "resumed": Reply(200, CUT, etag=ETAG, ranges=True)}.get(path, Reply(200, CUT))
    on_disk = path in ("on-disk", "journal")
    server.routes[ARCHIVE_PATH] = [first] * (not on_disk) + [Reply(200, WHOLE)]
    os.makedirs(base)
    if on_disk:
        with open(archive, "wb") as f:
            f.write(CUT)
    if path == "journal":  # what an extraction killed half-way left
        os.makedirs(os.path.join(base, "model_a"))
        open(archive + ".journal", "w").close()
    if path == "resumed":
        with open(archive + ".partial", "wb") as f:
            f.write(CUT[:100])
        with open(archive + ".validator", "w") as f:
            f.write("%s\n%d\n" % (ETAG, len(CUT)))
    if path == "lock-less":
        out = _in_child(ONE_FETCH, settings, server, env=preloaded("NO_LOCKS"))
        assert out.split() == ["None"]
    else:
        assert fetch.download_url(url) is None
        assert log[-1] == ("warning", "Failed to extracting tarxz %s - unexpected end of data"
                           % archive)
        assert _range_requests(server) == ([("bytes=100-", ETAG)] if path == "resumed" else [])
    assert not os.path.exists(os.path.join(base, "model_a"))
    assert fetch.download_url(url) == os.path.join(base, "model_a")
    assert _digest(os.path.join(base, "model_a")) == _expected(CUT_FILES)
    assert os.listdir(base) == ["model_a"]


# --- side files of a long archive name ------------------------------------------------------

LONG = "m" * 248  # the archive's file name takes 255 bytes


@pytest.mark.parametrize("case", ["whole", "resumed", "two-alike", "lock-less"])
def test_side_files_of_a_long_archive_name_fit_and_are_its_own(fetch, settings, server, clock,
                                                               preloaded, case):
    limit = os.pathconf(os.path.dirname(settings.base), "PC_NAME_MAX")
    names = [LONG, LONG[:-1] + "n"] if case == "two-alike" else [LONG]
    files = {"w.bin": os.urandom(3 * MIB)}
    for name in names:
        data = model_archive(name, files)
        cut = len(data) // 2 if case in ("resumed", "two-alike") else None
        server.routes["/a/%s.tar.xz" % name] = [Reply(200, data, etag=ETAG, ranges=True, cut=cut),
                                               Reply(200, data, etag=ETAG, ranges=True)]
    urls = [server.url("/a/%s.tar.xz" % name) for name in names]
    if case == "lock-less":
        code = ONE_FETCH.replace("download_url(sys.argv[2])", "download_url(sys.argv[3])")
        out = _in_child(code, settings, server, urls[0], env=preloaded("NO_LOCKS"))
        assert out.split() == [os.path.join(settings.base, LONG)]
    if cut:  # each broken transfer keeps its bytes under names of its own
        assert [fetch.download_url(url) for url in urls] == [None] * len(names)
        kept = os.listdir(settings.base)
        assert len(kept) == 2 * len(names) and max(map(len, kept)) <= limit
        assert len(_range_requests(server)) == 0
    assert [fetch.download_detection_model(url) for url in urls] == [
        os.path.join(settings.base, name) for name in names]
    assert len(_range_requests(server)) == (len(names) if cut else 0)
    assert sorted(os.listdir(settings.base)) == names
    assert [_digest(os.path.join(settings.base, name)) for name in names] == [
        _expected(files)] * len(names)
