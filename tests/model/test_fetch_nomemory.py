"""Failed allocations in the fetch functions, on local files and against a
server on 127.0.0.1: a MemoryError, the full result, or the documented
failure value (None, or False from download_file); never a crash. The sweep
of the body's streaming counts its allocations from each chunk's arrival."""

import pytest

from fetch_support import Reply, json_reply, model_archive

COMMON = """
import os, shutil, sys
from ombrix_sdk.model import fetch
fetch.TOKEN_FILE, fetch.MODEL_URL, URL, DIR = sys.argv[1:5]
invariant = lambda state: None
# The threading locks of requests' sessions report a failed allocation so, as
# does the lock of a buffered file the interpreter opens (its io module),
# and the interpreter's own code can lose the MemoryError on the way.
allowed = lambda e: (str(e) in ("can't allocate lock", "can't allocate read lock",
                                "can't allocate write lock") or library_fault(e))


class Quiet(object):
    # The logging package itself can return a record with a MemoryError set
    # (SystemError) when an allocation fails in its handlers.
    def info(self, message):
        pass

    warning = info


fetch.logger = Quiet()

def outcome(value, expected, failed=None):
    return "result" if value == expected else "documented" if value is failed else None


def fresh(name):
    path = os.path.join(DIR, name)
    if os.path.exists(path):
        os.remove(path)
    return path


def written(path, done, expected):
    with open(path, "rb") as f:
        return outcome(done and f.read(), expected, False)
"""

OPS = {
    "get_device_token": """
prepare = lambda: None
op = lambda _: fetch.get_device_token()
check = lambda _, token: outcome(token, "secret-token")
""",
    "get_model_url": """
prepare = lambda: None
op = lambda _: fetch.get_model_url("m1")
check = lambda _, url: outcome(url, URL)
""",
    "download_file": """
prepare = lambda: fresh("archive.tar.xz")
op = lambda path: fetch.download_file(URL, path)
check = lambda path, done: written(path, done, b"x" * 100000)
""",
    "download_file while streaming": """
import _testcapi, requests
AFTER = 10 ** 9  # trial AFTER + j: allocation j + 1 after a chunk's arrival fails
BIG = sys.argv[5]
done = []


class Streaming(object):
    exceptions = requests.exceptions

    def get(self, *args, **kwargs):
        response = requests.get(*args, **kwargs)
        chunks = response.iter_content

        def iter_content(*a, **kw):
            for chunk in chunks(*a, **kw):
                if len(done) < len(TRIALS):  # not in the closing run
                    _testcapi.set_nomemory(k - AFTER, k - AFTER + 1)
                yield chunk
                # Only the chunk's own handling: urllib3 can lose its lock
                # to a failed allocation, and then waits on it for ever.
                _testcapi.remove_mem_hooks()
        response.iter_content = iter_content
        return response


fetch.requests = Streaming()
invariant = lambda state: done.append(k)
prepare = lambda: fresh("big.tar.xz")
op = lambda path: fetch.download_file(BIG, path)
check = lambda path, done: written(path, done, b"b" * (2 << 20))
""",
    "download_url while extracting": """
import _testcapi, tarfile, types
AFTER = 10 ** 9  # trial AFTER + j: allocation j + 1 after a member is handed over fails
MODEL = sys.argv[6]
fetch.BASE_MODEL_DIR = os.path.join(DIR, "models")
model_dir = os.path.join(fetch.BASE_MODEL_DIR, "model_a")
armed = [True]


class Arming(tarfile.TarFile):
    def __iter__(self):
        for member in tarfile.TarFile.__iter__(self):
            if armed[0]:
                _testcapi.set_nomemory(k - AFTER, k - AFTER + 1)
            yield member
            _testcapi.remove_mem_hooks()


fetch.tarfile = types.SimpleNamespace(**dict(vars(tarfile), open=Arming.open))
def prepare():
    shutil.rmtree(fetch.BASE_MODEL_DIR, ignore_errors=True)
op = lambda _: fetch.download_url(MODEL)
check = lambda _, result: outcome(result, model_dir)
def invariant(_):
    # whatever a failure left, the next fetch brings the model whole
    armed[0] = False  # and so does the closing run
    prepare()
    assert fetch.download_url(MODEL) == model_dir
    assert sorted(os.listdir(model_dir)) == ["labels.txt", "model.bin"]
    armed[0] = k != TRIALS[-1]
""",
    "check_model_type": """
prepare = lambda: None
op = lambda _: fetch.check_model_type(os.path.join(DIR, "model"))
check = lambda _, kind: outcome(kind, "openvino")
""",
}


@pytest.mark.parametrize("name", sorted(OPS))
def test_failed_allocations(nomemory_sweep, server, tmp_path, name):
    token = tmp_path / "token"
    token.write_text("secret-token\n")
    (tmp_path / "model").mkdir()
    for part in ("model.xml", "model.bin"):
        (tmp_path / "model" / part).write_bytes(b"<?xml version='1.0'?><net/>")
    server.token = "secret-token"
    url = server.url("/signed/archive.tar.xz")
    server.models["m1"] = json_reply({"url": url})
    server.routes["/signed/archive.tar.xz"] = Reply(200, b"x" * 100000)
    server.routes["/signed/big.tar.xz"] = Reply(200, b"b" * (2 << 20))  # two chunks
    server.routes["/signed/model_a.tar.xz"] = Reply(200, model_archive(
        "model_a", {"model.bin": b"m" * 5000, "labels.txt": b"car"}))
    trials = list(range(0, 201)) + list(range(201, 6000, 97))
    if "while" in name:
        trials = range(10 ** 9, 10 ** 9 + (60 if "streaming" in name else 400))
    nomemory_sweep("fetch " + name, COMMON + OPS[name], trials,
                   args=[str(token), server.model_url, url, str(tmp_path),
                         server.url("/signed/big.tar.xz"), server.url("/signed/model_a.tar.xz")],
                   # urllib3's pool takes its queue's lock with `with`
                   library_hangs=("/urllib3/",))
