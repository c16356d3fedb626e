"""python -m ombrix_sdk.demo end to end, in subprocesses, with short runs."""
import json
import os
import re
import socket
import subprocess
import sys

import pytest

from ombrix_sdk.demo.backend import DemoBackend, build_model_archive

SETTING_VARS = ("SERVER_HOST", "OMBRIX_MODEL_DIR", "OMBRIX_TOKEN_FILE", "OMBRIX_LOG_LEVEL")
# Producers far faster than the consumer: drops are certain even on a busy machine.
FAST_PRODUCERS = ["--producers", "2", "--fps", "400", "--batch", "4", "--cycle-ms", "50"]


def run_demo(args, cwd, pre_import=None, timeout=120):
    env = dict(os.environ)
    for name in SETTING_VARS:
        env.pop(name, None)
    if pre_import:
        code = ("import %s\nfrom ombrix_sdk.demo.cli import main\n"
                "raise SystemExit(main(%r))" % (pre_import, list(args)))
        cmd = [sys.executable, "-c", code]
    else:
        cmd = [sys.executable, "-m", "ombrix_sdk.demo"] + list(args)
    return subprocess.run(cmd, cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)


def summary(stdout):
    """The figures of the summary block."""
    def number(pattern):
        m = re.search(pattern, stdout, re.M)
        assert m, (pattern, stdout)
        return int(m.group(1))
    return {
        "put": number(r"^  frames put\s+(\d+)"),
        "dropped": number(r"^  frames dropped\s+(\d+)"),
        "drained": number(r"^  frames drained\s+(\d+)"),
        "items": number(r"^  items filtered\s+(\d+)"),
        "kept": number(r"^  items filtered\s+\d+: (\d+) kept"),
        "passed": number(r"(\d+) passed unmatched$"),
        "errors": number(r"^  filter errors\s+(\d+)"),
    }


def per_second(stdout):
    return [tuple(int(g) for g in m.groups()) for m in re.finditer(
        r"^\[\s*[\d.]+s\] put\s+(\d+)\s+dropped\s+(\d+)\s+drained\s+(\d+)\s+queued\s+(\d+)",
        stdout, re.M)]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_help_lists_the_options(tmp_path):
    proc = run_demo(["--help"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    for option in ("--duration", "--producers", "--regions", "--frame-size", "--backend-host",
                   "--pass-unmatched", "--model-key", "--token-file", "--model-timeout", "--snapshot"):
        assert option in proc.stdout


def test_default_run_end_to_end(tmp_path):
    proc = run_demo(["--duration", "2"] + FAST_PRODUCERS, tmp_path)
    out, err = proc.stdout, proc.stderr
    assert proc.returncode == 0, out + err
    # model fetch through the embedded backend, with the SDK's own log lines
    assert "check_model_type -> 'openvino'" in out
    assert re.search(r"reused in [\d.]+ s: no archive downloaded \(backend: 2 model-URL "
                     r"requests, 1 archive download\)", out), out
    for line in ("INFO [ombrix_sdk.MODEL] Download model",
                 "INFO [ombrix_sdk.MODEL] Get the download url from model_id:demo-detector",
                 "INFO [ombrix_sdk.MODEL] Downloading...",
                 "INFO [ombrix_sdk.MODEL] Downloading... 100% (",
                 "INFO [ombrix_sdk.MODEL] Extracting model file - ",
                 "INFO [ombrix_sdk.MODEL] Finished the downloading",
                 "INFO [ombrix_sdk.MODEL] model dir already exists, skipping download - "):
        assert line in err
    assert len(re.findall(r"Downloading\.\.\. \d+% \(", err)) >= 5
    assert "WARNING" not in err and "ERROR" not in err
    # pipeline
    seconds = per_second(out)
    assert len(seconds) == 2
    for put, dropped, drained, queued in seconds:
        assert put > 0 and drained > 0 and dropped > 0
    s = summary(out)
    assert s["put"] == s["dropped"] + s["drained"]
    assert s["dropped"] > 0 and s["errors"] == 0
    assert 0 < s["kept"] < s["items"] and s["passed"] == 0
    assert "kept (entrance " in out and ", parking " in out
    assert out.rstrip().endswith("demo OK")


def test_regions_file_with_empty_region(tmp_path):
    regions = tmp_path / "regions.json"
    regions.write_text(json.dumps([
        {"roi_id": "L", "label": "left half", "include": True,
         "points": [[0, 0], [0.5, 0], [0.5, 1], [0, 1]]},
        {"roi_id": "X", "label": "hole", "include": False,
         "points": [[0.1, 0.1], [0.3, 0.1], [0.3, 0.3], [0.1, 0.3]]},
    ]))
    proc = run_demo(["--duration", "1", "--regions", str(regions), "--pass-unmatched",
                     "--frame-size", "640x480"] + FAST_PRODUCERS, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert ("regions: include left half; exclude hole; empty region rest of frame; "
            "frame 640x480") in proc.stdout
    s = summary(proc.stdout)
    # every item is either kept in the left half or passed through unchanged
    assert s["kept"] > 0 and s["passed"] > 0
    assert s["kept"] + s["passed"] <= s["items"]
    assert "left half" in proc.stdout.split("summary after")[1]


@pytest.mark.parametrize("content, message", [
    ("{not json", "is not valid JSON"),
    ('{"include": true, "points": []}', "must hold a JSON list"),
    ('[{"include": true}]', 'has no "points" entry'),
    ('[{"points": [[0, 0], [1, 0], [1, 1]]}]', 'has no "include" entry'),
    ('[{"include": true, "points": [[0, 0], [1, 0]]}]', "at least 3 points"),
    ('[{"include": true, "points": [[0, "a"], [1, 0], [1, 1]]}]', "number pairs"),
])
def test_bad_regions_file_fails_clearly(tmp_path, content, message):
    regions = tmp_path / "regions.json"
    regions.write_text(content)
    proc = run_demo(["--regions", str(regions)], tmp_path)
    assert proc.returncode == 1
    assert message in proc.stderr and proc.stderr.startswith("error: ")
    assert "Traceback" not in proc.stderr
    assert "demo FAILED" in proc.stdout


@pytest.mark.parametrize("args", [
    ["--frame-size", "1920"], ["--frame-size", "0x5"], ["--producers", "0"],
    ["--duration", "abc"], ["--no-such-option"],
])
def test_bad_options_are_usage_errors(tmp_path, args):
    proc = run_demo(args, tmp_path)
    assert proc.returncode == 2
    assert "usage: python -m ombrix_sdk.demo" in proc.stderr


@pytest.fixture
def outside_backend():
    """A backend the demo does not own, as --backend-host would reach."""
    from ombrix_sdk.constants import MODEL_URL_PATH

    backend = DemoBackend("right-token", {
        "people-v2": ("people-v2.tar.xz", build_model_archive("people-v2", size_mib=1)),
    })
    backend.set_model_url_path(MODEL_URL_PATH)
    backend.start()
    yield backend
    backend.stop()


def test_backend_host_with_its_token_and_a_kept_model_dir(tmp_path, outside_backend):
    token = tmp_path / "token"
    token.write_text("right-token\n")
    models = tmp_path / "models"
    args = ["--backend-host", outside_backend.base_url, "--token-file", str(token),
            "--model-key", "people-v2", "--model-dir", str(models), "--duration", "1"]
    proc = run_demo(args, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "check_model_type -> 'openvino'" in proc.stdout
    assert "SERVER_HOST=%s" % outside_backend.base_url in proc.stdout
    assert sorted(os.listdir(str(models / "people-v2"))) == ["model.bin", "model.xml"]
    assert (outside_backend.url_requests, outside_backend.archive_downloads) == (2, 1)
    # the kept model directory is reused by the next run: no new download
    proc = run_demo(args, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert outside_backend.archive_downloads == 1
    assert "model dir already exists, skipping download - " + str(models / "people-v2") in proc.stderr


def test_wrong_token_fails_within_the_model_timeout(tmp_path, outside_backend):
    token = tmp_path / "token"
    token.write_text("wrong-token")
    proc = run_demo(["--backend-host", outside_backend.base_url, "--token-file", str(token),
                     "--model-key", "people-v2", "--model-timeout", "2"], tmp_path)
    assert proc.returncode == 1
    assert outside_backend.url_refused >= 1 and outside_backend.archive_downloads == 0
    assert "failed to get the model url with status. 401" in proc.stderr
    assert "error: the model download did not finish within 2 s" in proc.stderr


def test_unreachable_backend_fails_within_the_model_timeout(tmp_path):
    token = tmp_path / "token"
    token.write_text("t")
    proc = run_demo(["--backend-host", "http://127.0.0.1:%d" % free_port(), "--token-file",
                     str(token), "--model-timeout", "2"], tmp_path)
    assert proc.returncode == 1
    assert "WARNING [ombrix_sdk.MODEL] failed to get the model url " in proc.stderr
    assert "error: the model download did not finish within 2 s" in proc.stderr


def test_settings_already_read_runs_in_a_fresh_interpreter(tmp_path):
    """Imported after the SDK's settings were read, the demo still gets its
    own backend and directories, through a fresh interpreter."""
    proc = run_demo(["--duration", "1"], tmp_path, pre_import="ombrix_sdk.constants")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "check_model_type -> 'openvino'" in proc.stdout
    assert re.search(r"SERVER_HOST=http://127\.0\.0\.1:\d+", proc.stdout)


def test_snapshot_of_the_regions_and_one_frame(tmp_path):
    pil = pytest.importorskip("PIL.Image")
    path = tmp_path / "pics" / "snap.png"
    path.parent.mkdir()
    proc = run_demo(["--duration", "1", "--frame-size", "640x360", "--snapshot", str(path)],
                    tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    m = re.search(r"^snapshot: (.+) \(the regions and frame \d+ of camera \d: 10 boxes, "
                  r"(\d+) kept by filter_in_roi\)$", proc.stdout, re.M)
    assert m and m.group(1) == str(path), proc.stdout
    image = pil.open(str(path))
    assert image.size[0] == 640 and image.size[1] > 360  # the frame, then the legend


def test_snapshot_into_a_missing_directory_fails_before_the_run(tmp_path):
    proc = run_demo(["--snapshot", str(tmp_path / "nowhere" / "snap.png")], tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.startswith("error: --snapshot")
    assert "== 1. model fetch" not in proc.stdout
