"""download_file against a local server: status handling, Content-Length,
progress lines, faults while streaming, and closing of the response."""

import os
import subprocess
import sys
import textwrap

import pytest
import requests

import ombrix_sdk
from fetch_support import ModelServer, Reply, RequestsSpy

MIB = 1 << 20


def _start_lines(url, path):
    return [("info", "Downloading..."), ("info", "\tcloud url: " + url),
            ("info", "\ttar.xz file: " + path)]


def _progress(pct, done_mb, total_mb):
    return ("info", "Downloading... %d%% (%dMB / %dMB)" % (pct, done_mb, total_mb))


@pytest.fixture
def target(tmp_path):
    return str(tmp_path / "model.tar.xz")


@pytest.mark.parametrize("status", [403, 404, 500])
def test_refused_download_leaves_the_file_alone(fetch, server, log, target, status):
    with open(target, "wb") as f:
        f.write(b"earlier")
    server.routes["/m.tar.xz"] = Reply(status, b"denied")
    url = server.url("/m.tar.xz")
    assert fetch.download_file(url, target) is False
    assert log == _start_lines(url, target) + [
        ("warning", "failed downloading status code: %d" % status)]
    with open(target, "rb") as f:
        assert f.read() == b"earlier"


def test_refused_download_creates_no_file(fetch, server, target):
    server.routes["/m.tar.xz"] = Reply(404)
    assert fetch.download_file(cloud_url=server.url("/m.tar.xz"), local_file=target) is False
    assert not os.path.exists(target)


def test_progress_at_each_quarter_of_12_mib(fetch, server, log, target):
    body = os.urandom(12 * MIB)
    server.routes["/m.tar.xz"] = Reply(200, body)
    url = server.url("/m.tar.xz")
    assert fetch.download_file(url, target) is True
    assert log == _start_lines(url, target) + [
        _progress(25, 3, 12), _progress(50, 6, 12), _progress(75, 9, 12), _progress(100, 12, 12)]
    with open(target, "rb") as f:
        assert f.read() == body


@pytest.mark.parametrize("length,steps", [(1 << 30, [(0, 1), (5, 52)]), (10 ** 20, [(0, 1)])],
                         ids=["1GiB", "beyond-64-bits"])
def test_progress_of_a_large_body_until_it_breaks(fetch, server, log, target, length, steps):
    # The server announces 1 GiB (or more than 64 bits count) and drops the
    # connection after 53 MiB: the lines up to there show the 0 % start and
    # the next step at 5 %.
    server.routes["/big"] = Reply(200, bytes(53 * MIB), length=length)
    url = server.url("/big")
    with pytest.raises(requests.exceptions.RequestException):
        fetch.download_file(url, target)
    assert log == _start_lines(url, target) + [_progress(pct, done, length // MIB)
                                               for pct, done in steps]
    assert os.path.getsize(target) == 53 * MIB  # the partial file stays


def test_small_body_gives_one_line_at_100(fetch, server, log, target):
    server.routes["/s"] = Reply(200, b"z" * (500 * 1024))
    assert fetch.download_file(server.url("/s"), target) is True
    assert log[3:] == [_progress(100, 0, 0)]


@pytest.mark.parametrize("size,steps", [
    (24 * MIB, ["20%", "25%", "45%", "50%", "70%", "75%", "95%", "100%"]),
    (30 * MIB + 1, ["100%"]),
], ids=["24MiB", "30MiB+1"])
def test_only_steps_a_chunk_boundary_lands_on(fetch, server, log, target, size, steps):
    server.routes["/u"] = Reply(200, b"u" * size)
    assert fetch.download_file(server.url("/u"), target) is True
    expected, last = [], -1
    for done in list(range(MIB, size, MIB)) + [size]:
        pct = int(done * 100 / size)
        if pct != last and pct % 5 == 0:
            expected.append(_progress(pct, done // MIB, size // MIB))
            last = pct
    assert log[3:] == expected
    assert [text.split()[1] for _, text in log[3:]] == steps


def test_without_content_length_no_progress(fetch, server, log, target):
    body = os.urandom(3 * MIB + 5)
    server.routes["/n"] = Reply(200, body, length=None)
    assert fetch.download_file(server.url("/n"), target) is True
    assert log == _start_lines(server.url("/n"), target)
    with open(target, "rb") as f:
        assert f.read() == body


def test_existing_file_is_replaced(fetch, server, target):
    with open(target, "wb") as f:
        f.write(b"x" * 1000)
    server.routes["/r"] = Reply(200, b"new")
    assert fetch.download_file(server.url("/r"), target) is True
    with open(target, "rb") as f:
        assert f.read() == b"new"


def test_content_length_not_a_number(fetch, server, log, target):
    server.routes["/abc"] = Reply(200, b"body", length="abc")
    with pytest.raises(ValueError) as info:
        fetch.download_file(server.url("/abc"), target)
    assert str(info.value) == "invalid literal for int() with base 10: 'abc'"
    assert not os.path.exists(target)
    assert log == _start_lines(server.url("/abc"), target)


def test_body_cut_in_the_middle(fetch, server, target):
    server.routes["/cut"] = Reply(200, b"c" * (3 * MIB), cut=MIB + 100)
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        fetch.download_file(server.url("/cut"), target)
    assert os.path.getsize(target) == MIB  # written chunks stay, in a closed file


def test_slow_answer_times_out(fetch, server, log, target, monkeypatch):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 0.2)
    server.routes["/slow"] = Reply(200, b"late", delay=3)
    with pytest.raises(requests.exceptions.ReadTimeout):
        fetch.download_file(server.url("/slow"), target)
    assert not os.path.exists(target)
    assert log == _start_lines(server.url("/slow"), target)


def test_stalled_body_times_out(fetch, server, target, monkeypatch):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 0.2)
    server.routes["/stall"] = Reply(200, b"s" * (2 * MIB), stall_after=MIB, stall=3)
    with pytest.raises(requests.exceptions.ConnectionError):
        fetch.download_file(server.url("/stall"), target)
    assert os.path.getsize(target) == MIB


def test_connection_refused_is_raised(fetch, target):
    closed = ModelServer()
    url = closed.url("/x")
    closed.httpd.server_close()
    with pytest.raises(requests.exceptions.ConnectionError):
        fetch.download_file(url, target)
    assert not os.path.exists(target)


def test_missing_destination_directory(fetch, server, tmp_path):
    server.routes["/m"] = Reply(200, b"data")
    with pytest.raises(FileNotFoundError):
        fetch.download_file(server.url("/m"), str(tmp_path / "no" / "m.tar.xz"))


def test_streamed_get_with_the_module_timeout(fetch, server, target, monkeypatch):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 17)
    server.routes["/m"] = Reply(200, b"data")
    assert fetch.download_file(server.url("/m"), target) is True
    assert spy.calls == [((server.url("/m"),), {"stream": True, "timeout": 17})]
    [(_, headers)] = server.requests
    assert "x-device-token" not in headers


def test_chunks_are_requested_at_1_mib(fetch, server, target, monkeypatch):
    sizes = []

    class SizeSpy(RequestsSpy):
        def get(self, *args, **kwargs):
            response = RequestsSpy.get(self, *args, **kwargs)
            iter_content = response.iter_content

            def recording(chunk_size=1, decode_unicode=False):
                sizes.append(chunk_size)
                return iter_content(chunk_size=chunk_size, decode_unicode=decode_unicode)

            response.iter_content = recording
            return response

    monkeypatch.setattr(fetch, "requests", SizeSpy())
    server.routes["/m"] = Reply(200, b"data")
    fetch.download_file(server.url("/m"), target)
    assert sizes == [1048576]


@pytest.mark.parametrize("reply", [
    Reply(200, b"d" * (2 * MIB)),
    Reply(404, b"missing"),
    Reply(200, b"d" * (2 * MIB), length="abc"),
    Reply(200, b"d" * (4 * MIB), cut=MIB + 10),
], ids=["complete", "refused", "bad-length", "cut"])
def test_response_is_closed_on_every_path(fetch, server, target, monkeypatch, reply):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    server.routes["/m"] = reply
    try:
        fetch.download_file(server.url("/m"), target)
    except (ValueError, requests.exceptions.RequestException):
        pass
    [response] = spy.responses
    assert spy.closed == [response]
    assert response.raw.closed


def test_memory_stays_flat_while_streaming(fetch, server):
    # In a fresh interpreter (the server stays here): downloading 64 MiB
    # lifts the peak RSS (VmHWM) by far less than the body above the RSS
    # the process had before.
    server.routes["/big"] = Reply(200, bytes(64 * MIB))
    code = textwrap.dedent("""
        import os, sys, tempfile
        import ombrix_sdk.model.fetch as fetch

        def status(field):
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith(field + ":"):
                        return int(line.split()[1])

        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "m.bin")
            before = status("VmRSS")
            assert fetch.download_file(sys.argv[1], path) is True
            peak = status("VmHWM")
            assert os.path.getsize(path) == 64 << 20
        print(peak - before)
    """)
    env = dict(os.environ, OMBRIX_LOG_LEVEL="WARNING",
               PYTHONPATH=os.path.dirname(os.path.dirname(ombrix_sdk.__file__)))
    if "ASAN_OPTIONS" in env:  # under AddressSanitizer freed memory must be reusable
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    proc = subprocess.run([sys.executable, "-c", code, server.url("/big")], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 16 * 1024  # KiB
