"""Failed allocations in the fetch functions, on local files and against a
server on 127.0.0.1: a MemoryError, the full result, or the documented
failure value (None, or False from download_file); never a crash."""

import pytest

from fetch_support import Reply, json_reply

COMMON = """
import os, sys
from ombrix_sdk.model import fetch
fetch.TOKEN_FILE, fetch.MODEL_URL, URL, DIR = sys.argv[1:5]
invariant = lambda state: None
# The threading locks of requests' sessions report a failed allocation so,
# and the interpreter's own code can lose the MemoryError on the way.
allowed = lambda e: str(e) == "can't allocate lock" or library_fault(e)


class Quiet(object):
    # The logging package itself can return a record with a MemoryError set
    # (SystemError) when an allocation fails in its handlers.
    def info(self, message):
        pass

    warning = info


fetch.logger = Quiet()

def outcome(value, expected, failed=None):
    return "result" if value == expected else "documented" if value is failed else None
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
def prepare():
    path = os.path.join(DIR, "archive.tar.xz")
    if os.path.exists(path):
        os.remove(path)
    return path
op = lambda path: fetch.download_file(URL, path)
def check(path, done):
    with open(path, "rb") as f:
        return outcome(done and f.read(), b"x" * 100000, False)
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
    trials = list(range(0, 201)) + list(range(201, 6000, 97))
    nomemory_sweep("fetch " + name, COMMON + OPS[name], trials,
                   args=[str(token), server.model_url, url, str(tmp_path)])
