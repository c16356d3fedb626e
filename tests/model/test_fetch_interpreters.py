"""Model fetch in sub-interpreters, from the loopback server.

Each interpreter has its own module and state. The main interpreter fetches
a model, a sub-interpreter fetches another one, and the main one fetches a
third after the sub-interpreter is gone. A sub-interpreter with a GIL of its
own (3.12 on) works where the dependencies load there (3.14 on); before,
the import fails with an ImportError that says why.
"""
import json
import os
import subprocess
import sys

import pytest

from fetch_support import Reply, json_reply, model_archive
from subinterpreter_harness import HARNESS

pytest.importorskip("_testcapi")

FETCH = '''
import json, os
try:
    import ombrix_sdk.model.fetch as fetch
except ImportError as e:
    found = {"refused": str(e)}
else:
    fetch.BASE_MODEL_DIR, fetch.TOKEN_FILE, fetch.MODEL_URL = %(settings)r
    model_dir = fetch.download_detection_model(%(key)r)
    found = {"dir": model_dir, "files": sorted(os.listdir(model_dir)),
             "type": fetch.check_model_type(model_dir)}
print(json.dumps(found), file=out)
'''

REFUSAL = "ombrix_sdk.model.fetch cannot be imported in an isolated sub-interpreter: "


def fetch_code(settings, key):
    return FETCH % {"settings": (settings.base, settings.token_file, settings.model_url),
                    "key": key}


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_a_fetch_in_a_sub_interpreter_beside_the_main_one(settings, server, kind):
    if kind == "isolated" and sys.version_info < (3, 12):
        pytest.skip("sub-interpreters with a GIL of their own came with 3.12")
    for key in ("main_a", "sub", "main_b"):
        server.models[key] = json_reply({"url": server.url("/m/%s.tar.xz" % key)})
        server.routes["/m/%s.tar.xz" % key] = Reply(200, model_archive(
            key, {"w.xml": key.encode(), "w.bin": b"\0" * 64}))
    program = HARNESS + "\n".join([
        "out = sys.stdout",
        fetch_code(settings, "main_a"),
        "print(in_interpreter(%r, %r), end='')" % (kind, fetch_code(settings, "sub")),
        fetch_code(settings, "main_b"),
    ])
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1")
    proc = subprocess.run([sys.executable, "-c", program], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=240)
    assert proc.returncode == 0, proc.stderr
    main_a, sub, main_b = [json.loads(line) for line in proc.stdout.splitlines()]
    for key, found in (("main_a", main_a), ("main_b", main_b)):
        assert found["dir"] == os.path.join(settings.base, key)
        assert found["files"] == ["w.bin", "w.xml"] and found["type"] == main_a["type"]
    if "refused" in sub:
        assert kind == "isolated" and sys.version_info < (3, 14), sub
        assert sub["refused"].startswith(REFUSAL)
        assert sorted(os.listdir(settings.base)) == ["main_a", "main_b"]
    else:
        assert sub == dict(main_a, dir=os.path.join(settings.base, "sub"))
        assert sorted(os.listdir(settings.base)) == ["main_a", "main_b", "sub"]
