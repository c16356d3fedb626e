"""download_url and download_detection_model end to end: a local backend, real
tar.xz archives, real libmagic, a fake clock for the retry loop."""

import lzma
import math
import os
import shutil
import tarfile
import types

import pytest

from fetch_support import (Member, Reply, RequestsSpy, archive_bytes, hostile_member, json_reply,
                           model_archive)

MODEL_FILES = {"model.tflite": os.urandom(4096), "labels.txt": b"person\ncar\n"}
EXTRACT_FAILED = "Failed to extracting tarxz "
TRAVERSAL = "Attempted path traversal in tar archive: "


def _serve_model(server, name="model_a", replies=None, query="?sig=abc"):
    """Serves the archive of `name` (or the given replies); returns its URL."""
    path = "/archives/%s.tar.xz" % name
    server.routes[path] = replies if replies is not None else Reply(
        200, model_archive(name, MODEL_FILES))
    return server.url(path + query)


def _download_lines(url, archive):
    return [("info", "Downloading..."), ("info", "\tcloud url: " + url),
            ("info", "\ttar.xz file: " + archive)]


def _extract_lines(archive, base):
    return [("info", "Extracting model file - %s to %s" % (archive, base))]


def _assert_model(model_dir):
    assert sorted(os.listdir(model_dir)) == sorted(MODEL_FILES)
    for name, data in MODEL_FILES.items():
        with open(os.path.join(model_dir, name), "rb") as f:
            assert f.read() == data


# --- download_url -------------------------------------------------------------


def test_download_extract_and_clean_up(fetch, settings, server, log):
    url = _serve_model(server)
    archive = os.path.join(settings.base, "model_a.tar.xz")
    model_dir = os.path.join(settings.base, "model_a")
    assert fetch.download_url(url) == model_dir
    _assert_model(model_dir)
    assert not os.path.exists(archive)
    assert os.listdir(settings.base) == ["model_a"]
    assert log == _download_lines(url, archive) + [
        ("info", "Downloading... 100% (0MB / 0MB)")] + _extract_lines(archive, settings.base) + [
        ("info", "Finished the downloading")]


def test_base_directory_is_created_with_its_parents(fetch, settings, server, tmp_path):
    fetch.BASE_MODEL_DIR = str(tmp_path / "a" / "b" / "models")
    assert fetch.download_url(cloud_url=_serve_model(server)) == str(
        tmp_path / "a" / "b" / "models" / "model_a")


def test_existing_model_directory_is_returned_at_once(fetch, settings, server, log):
    model_dir = os.path.join(settings.base, "model_a")
    os.makedirs(model_dir)  # even an empty one
    assert fetch.download_url(_serve_model(server)) == model_dir
    assert log == [("info", "model dir already exists, skipping download - " + model_dir)]
    assert server.requests == [] and os.listdir(model_dir) == []


def test_file_in_place_of_the_model_directory_is_removed(fetch, settings, server, log):
    model_dir = os.path.join(settings.base, "model_a")
    os.makedirs(settings.base)
    with open(model_dir, "w") as f:
        f.write("stray")
    assert fetch.download_url(_serve_model(server)) == model_dir
    assert log[0] == ("info", "remove model file (not a directory) - " + model_dir)
    _assert_model(model_dir)


@pytest.mark.parametrize("meanwhile", ["the model placed", "the file removed", "refused",
                                       "no OSError"])
def test_another_fetch_acting_between_the_checks_and_the_removal(fetch, settings, server, log,
                                                                 monkeypatch, meanwhile):
    # Another process may place the model, or remove the file, after this
    # fetch found a file in its place and before it removes it; any other
    # failure to remove it fails the fetch.
    model_dir = os.path.join(settings.base, "model_a")
    os.makedirs(settings.base)
    open(model_dir, "w").close()
    error = {"refused": PermissionError(13, "refused"), "no OSError": LookupError("no")}

    def exists(path):
        found = os.path.exists(path)
        if path == model_dir and found and meanwhile not in error:
            os.remove(model_dir)
            if meanwhile == "the model placed":
                os.mkdir(model_dir)
        return found

    def remove(path):
        if meanwhile in error:
            raise error[meanwhile]
        os.remove(path)
    path = types.SimpleNamespace(**dict(vars(os.path), exists=exists))
    monkeypatch.setattr(fetch, "os", types.SimpleNamespace(**dict(vars(os), path=path,
                                                                  remove=remove)))
    url = _serve_model(server)
    result = fetch.download_url(url)
    assert log[0] == ("info", "remove model file (not a directory) - " + model_dir)
    if meanwhile in error:
        assert result is None and log[1:] == [
            ("warning", "Failed to download from %s - %s" % (url, error[meanwhile]))]
    elif meanwhile == "the model placed":
        assert log[1:] == [("info", "model dir already exists, skipping download - " + model_dir)]
        assert result == model_dir and server.requests == [] and os.listdir(model_dir) == []
    else:
        assert result == model_dir
        _assert_model(model_dir)


def test_empty_archive_on_disk_is_downloaded_again(fetch, settings, server, log):
    archive = os.path.join(settings.base, "model_a.tar.xz")
    os.makedirs(settings.base)
    open(archive, "w").close()
    url = _serve_model(server)
    assert fetch.download_url(url) == os.path.join(settings.base, "model_a")
    assert log[:2] == [("info", "tar.xz file already exists - " + archive),
                       ("info", "tar.xz is invalid, re-downloading - " + archive)]
    assert log[2:5] == _download_lines(url, archive)
    assert len(server.requests) == 1


def test_archive_without_description_is_downloaded_again(fetch, settings, server, log,
                                                         monkeypatch):
    class Undescribed(object):
        def from_file(self, path):
            return None

    monkeypatch.setattr(fetch, "fm", Undescribed())
    archive = os.path.join(settings.base, "model_a.tar.xz")
    os.makedirs(settings.base)
    with open(archive, "wb") as f:
        f.write(model_archive("model_a", {"old.bin": b"old"}))
    assert fetch.download_url(_serve_model(server)) == os.path.join(settings.base, "model_a")
    assert log[1] == ("info", "tar.xz is invalid, re-downloading - " + archive)
    _assert_model(os.path.join(settings.base, "model_a"))


def test_archive_on_disk_is_reused_without_download(fetch, settings, server, log):
    archive = os.path.join(settings.base, "model_a.tar.xz")
    os.makedirs(settings.base)
    with open(archive, "wb") as f:
        f.write(model_archive("model_a", MODEL_FILES))
    assert fetch.download_url(_serve_model(server)) == os.path.join(settings.base, "model_a")
    assert server.requests == []
    assert log == [("info", "tar.xz file already exists - " + archive)] + _extract_lines(
        archive, settings.base) + [("info", "Finished the downloading")]
    assert not os.path.exists(archive)


def test_unusable_archive_on_disk_is_reused_then_removed(fetch, settings, server, log):
    archive = os.path.join(settings.base, "model_a.tar.xz")
    os.makedirs(settings.base)
    with open(archive, "wb") as f:
        f.write(b"this is not an archive at all\n")
    try:
        tarfile.open(archive, "r|xz")
    except Exception as e:
        error = str(e)
    assert fetch.download_url(_serve_model(server)) is None
    assert server.requests == []
    assert log[-1] == ("warning", EXTRACT_FAILED + archive + " - " + error)
    assert os.listdir(settings.base) == []


def test_refused_download(fetch, settings, server, log):
    url = _serve_model(server, replies=Reply(403, b"expired"))
    archive = os.path.join(settings.base, "model_a.tar.xz")
    assert fetch.download_url(url) is None
    assert log == _download_lines(url, archive) + [
        ("warning", "failed downloading status code: 403")]
    assert os.listdir(settings.base) == []


@pytest.mark.parametrize("path,name", [
    ("/a/model_b.tar.xz", "model_b"),
    ("/a/model_b.tar.xz.tar.xz", "model_b"),
    ("/a/v1.tar.xz.model_b.tar.xz", "v1.model_b"),
], ids=["plain", "suffix-twice", "suffix-inside"])
def test_model_name_from_the_url_path(fetch, settings, server, path, name):
    server.routes[path] = Reply(200, model_archive(name, MODEL_FILES))
    url = server.url(path + "?name=other.tar.xz#frag")
    assert fetch.download_url(url) == os.path.join(settings.base, name)
    _assert_model(os.path.join(settings.base, name))


def test_url_path_ending_in_slash_gives_the_base_directory(fetch, settings, server, log):
    base_join = os.path.join(settings.base, "")
    assert fetch.download_url(server.url("/archives/")) == base_join
    assert log == [("info", "model dir already exists, skipping download - " + base_join)]
    assert server.requests == []


@pytest.mark.parametrize("path,top", [
    ("/archives/model_a.tar.xz", "other"),
    # archive and model directory share one path, which the extraction
    # removes with the archive
    ("/files/blob", "model_c"),
], ids=["other-top-level-directory", "file-name-without-suffix"])
def test_an_archive_without_its_model_directory_fails(fetch, settings, server, log, clock,
                                                      monkeypatch, path, top):
    archive = os.path.join(settings.base, os.path.basename(path))
    model_dir = archive.replace(".tar.xz", "")
    os.makedirs(settings.base)
    with open(model_dir, "w") as f:
        f.write("left over")
    server.routes[path] = Reply(200, model_archive(top, MODEL_FILES))
    assert fetch.download_url(server.url(path)) is None
    assert log[0] == ("info", "remove model file (not a directory) - " + model_dir)
    assert log[-1] == ("warning", EXTRACT_FAILED + archive
                       + " - no model directory after extraction: " + model_dir)
    # what it extracted goes again; the retry loop goes on as after any failure
    assert os.listdir(settings.base) == [os.path.basename(archive) + ".journal"]
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 3)
    assert fetch.download_detection_model(server.url(path)) is None
    assert len(server.requests) == 4 and clock.sleeps == [1, 1, 1]
    assert not any(text == "Finished the downloading" for _, text in log)


@pytest.mark.parametrize("member", [
    Member("../outside/evil.txt", data=b"evil"),
    Member("model_a/h", "hardlink", linkname="."),  # the directory extracted into
    Member("model_a/h", "hardlink", linkname="model_b/w.bin"),  # a file it did not extract
], ids=["file-climbs-out", "hard-link-to-the-destination", "hard-link-to-another-model"])
def test_traversal_archive_is_refused_and_cleaned_up(fetch, settings, server, log, outside,
                                                     member):
    os.makedirs(os.path.join(settings.base, "model_b"))
    with open(os.path.join(settings.base, "model_b", "w.bin"), "wb") as f:
        f.write(b"weights")
    members = [Member("model_a", "dir"), Member("model_a/model.tflite", data=b"t"), member]
    url = _serve_model(server, replies=Reply(200, archive_bytes(members)))
    archive = os.path.join(settings.base, "model_a.tar.xz")
    assert fetch.download_url(url) is None
    assert log[-1] == ("warning", EXTRACT_FAILED + archive + " - " + TRAVERSAL + member.name)
    assert os.listdir(outside) == []
    # no archive, no half model; the journal stays, for a process that saw
    # the half model to wait instead of taking it
    assert sorted(os.listdir(settings.base)) == ["model_a.tar.xz.journal", "model_b"]


def _claiming_size(size):
    """A model archive whose file member's header claims `size` bytes
    (base-256, as tar writes sizes beyond its octal field) over 10 real ones."""
    raw = bytearray(lzma.decompress(model_archive("model_a", {"model.tflite": b"t" * 10})))
    header = raw[512:1024]
    header[124:136] = b"\x80" + size.to_bytes(11, "big")
    header[148:156] = b" " * 8
    header[148:156] = b"%06o\0 " % sum(header)
    raw[512:1024] = header
    return lzma.compress(bytes(raw), format=lzma.FORMAT_XZ)


@pytest.mark.parametrize("size", [2 ** 23, 2 ** 63 - 1, 2 ** 64])
def test_a_member_claiming_more_than_the_archive_holds_fails_cleanly(fetch, settings, server, log,
                                                                     size):
    url = _serve_model(server, replies=Reply(200, _claiming_size(size)))
    assert fetch.download_url(url) is None
    archive = os.path.join(settings.base, "model_a.tar.xz")
    # tarfile's words for reading past the end (the second, the xz reader's,
    # from 3.14 on)
    assert log[-1] in [("warning", EXTRACT_FAILED + archive + " - " + said)
                       for said in ("unexpected end of data", "Already at end of stream")]
    assert os.listdir(settings.base) == ["model_a.tar.xz.journal"]


def test_failed_extraction_does_not_leave_a_model_behind(fetch, settings, server):
    # The first archive breaks off after the model's first file; the next
    # call must download again instead of taking the half model.
    broken = model_archive("model_a", {"a.bin": b"a", "b.bin": os.urandom(1 << 20)})
    good = model_archive("model_a", MODEL_FILES)
    url = _serve_model(server, replies=[Reply(200, broken[:len(broken) // 2]), Reply(200, good)])
    assert fetch.download_url(url) is None
    assert os.listdir(settings.base) == ["model_a.tar.xz.journal"]
    model_dir = fetch.download_url(url)
    _assert_model(model_dir)
    assert len(server.requests) == 2
    assert os.listdir(settings.base) == ["model_a"]


@pytest.mark.parametrize("reply", [
    Reply(200, b"x" * 4096, cut=100),
    Reply(200, b"x" * 4096, length="abc"),
    Reply(200, b"late", delay=3),
], ids=["cut", "bad-length", "slow"])
def test_download_errors_are_logged(fetch, settings, server, log, monkeypatch, reply):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 0.3)
    url = _serve_model(server, replies=reply)
    assert fetch.download_url(url) is None
    level, text = log[-1]
    assert level == "warning" and text.startswith("Failed to download from " + url + " - ")
    assert text != "Failed to download from " + url + " - "


def test_download_error_text(fetch, settings, server, log):
    url = _serve_model(server, replies=Reply(200, b"x", length="abc"))
    fetch.download_url(url)
    assert log[-1] == ("warning", "Failed to download from " + url
                       + " - invalid literal for int() with base 10: 'abc'")


def test_base_directory_that_is_a_file(fetch, settings, server, log):
    with open(settings.base, "w") as f:
        f.write("not a directory")
    url = _serve_model(server)
    try:
        os.makedirs(settings.base, exist_ok=True)
    except OSError as e:
        error = str(e)
    assert fetch.download_url(url) is None
    assert log == [("warning", "Failed to download from " + url + " - " + error)]


def test_collaborators_are_looked_up_at_each_call(fetch, settings, server, monkeypatch):
    calls = []

    def download_file(cloud_url, local_file):
        calls.append((cloud_url, local_file))
        with open(local_file, "wb") as f:
            f.write(model_archive("model_a", MODEL_FILES))
        return True

    monkeypatch.setattr(fetch, "download_file", download_file)
    url = "http://nowhere.invalid/x/model_a.tar.xz"
    assert fetch.download_url(url) == os.path.join(settings.base, "model_a")
    assert calls == [(url, os.path.join(settings.base, "model_a.tar.xz"))]


# --- download_detection_model -------------------------------------------------


def test_internal_model_is_returned_untouched(fetch, settings, server, log, monkeypatch):
    class NoClock(object):
        def __getattr__(self, name):
            raise AssertionError("the clock was read")

    monkeypatch.setattr(fetch, "time", NoClock())
    internal = fetch.MODEL_TYPE.INTERNAL
    assert fetch.download_detection_model(internal) is internal
    assert log == [] and server.requests == [] and not os.path.exists(settings.base)


def test_fails_twice_then_succeeds(fetch, settings, server, log, clock):
    url = _serve_model(server, replies=[Reply(500, b"busy"), Reply(500, b"busy"),
                                        Reply(200, model_archive("model_a", MODEL_FILES))])
    server.models["model_a"] = json_reply({"url": url})
    model_dir = fetch.download_detection_model("model_a")
    assert model_dir == os.path.join(settings.base, "model_a")
    _assert_model(model_dir)
    assert fetch.check_model_type(model_dir) == fetch.MODEL_TYPE.TF_LITE
    assert clock.sleeps == [1, 1]
    assert log[0] == ("info", "Download model")
    assert [m for level, m in log if level == "warning"] == [
        "failed downloading status code: 500"] * 2
    assert server.paths().count("/v1/models/model_a/download-url") == 3


@pytest.mark.parametrize("cut_at", ["late", "early"])
def test_interrupted_download_leaves_no_partial_archive(fetch, settings, server, log, clock, cut_at):
    # The body breaks off: the partial archive is removed, so the next
    # attempt downloads afresh instead of extracting a truncated model.
    weights = os.urandom(3 << 20)
    data = model_archive("model_a", dict(MODEL_FILES, **{"w.bin": weights}))
    cut = len(data) - 10000 if cut_at == "late" else 10240
    url = _serve_model(server, replies=[Reply(200, data, cut=cut), Reply(200, data)])
    archive = os.path.join(settings.base, "model_a.tar.xz")
    model_dir = fetch.download_detection_model(url)
    assert model_dir == os.path.join(settings.base, "model_a")
    with open(os.path.join(model_dir, "w.bin"), "rb") as f:
        assert f.read() == weights
    warnings = [m for level, m in log if level == "warning"]
    assert len(warnings) == 1
    assert warnings[0].startswith("Failed to download from " + url + " - ")
    assert ("info", "tar.xz file already exists - " + archive) not in log
    assert not os.path.exists(archive)
    assert clock.sleeps == [1] and len(server.requests) == 2


def test_partial_archive_removed_after_failed_download(fetch, settings, server):
    url = _serve_model(server, replies=Reply(200, b"x" * 4096, cut=100))
    assert fetch.download_url(url) is None
    assert os.listdir(settings.base) == []


@pytest.mark.parametrize("timeout", [None, "soon", -1], ids=["missing", "not a number", "-1"])
def test_the_wait_limit_is_read_before_the_fetch_starts(fetch, settings, server, log, monkeypatch,
                                                        timeout):
    # How long to wait for another fetch of the model is read first: an
    # unusable limit fails the fetch; one that is over already still takes
    # a lock nobody holds (the request then refuses it as its time-out).
    if timeout is None:
        monkeypatch.delattr(fetch, "DOWNLOAD_MODEL_TIMEOUT")
        expected = pytest.raises(NameError, eval, "DOWNLOAD_MODEL_TIMEOUT", {})
    else:
        monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", timeout)
    url = _serve_model(server)
    if timeout == -1:
        assert fetch.download_url(url) is None and ("info", "Downloading...") in log
        return
    if timeout == "soon":
        expected = pytest.raises(TypeError, math.isnan, timeout)
    assert fetch.download_url(url) is None
    assert log == [("warning", "Failed to download from %s - %s" % (url, expected.value))]
    assert server.requests == []


def test_budget_runs_out_after_300_seconds(fetch, settings, server, log, clock, monkeypatch):
    calls = []
    monkeypatch.setattr(fetch, "get_model_url", lambda model_id: calls.append(model_id))
    assert fetch.download_detection_model("model_a") is None
    assert len(calls) == 300 and clock.sleeps == [1] * 300
    assert log == [("info", "Download model")]


def test_budget_is_read_before_every_attempt(fetch, settings, clock, monkeypatch):
    calls = []

    def get_model_url(model_id):
        calls.append(model_id)
        fetch.DOWNLOAD_MODEL_TIMEOUT = 3  # restored by monkeypatch below
        return ""

    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 300)
    monkeypatch.setattr(fetch, "get_model_url", get_model_url)
    assert fetch.download_detection_model("k") is None
    assert len(calls) == 3


def test_attempt_started_inside_the_budget_runs_to_its_end(fetch, settings, clock, monkeypatch):
    starts = []

    def slow_download(cloud_url):
        starts.append(clock.now - 1000.0)
        clock.now += 120
        return None

    monkeypatch.setattr(fetch, "get_model_url", lambda model_id: "http://x/m.tar.xz")
    monkeypatch.setattr(fetch, "download_url", slow_download)
    assert fetch.download_detection_model("k") is None
    assert starts == [0, 121, 242]
    assert clock.now - 1000.0 == 363


def test_always_failing_server(fetch, settings, server, log, clock, monkeypatch):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 3)
    url = _serve_model(server, replies=Reply(500))
    assert fetch.download_detection_model(url) is None
    assert clock.sleeps == [1, 1, 1] and len(server.requests) == 3
    assert log.count(("info", "Download model")) == 1


def test_escaped_exception_is_logged_and_retried(fetch, settings, log, clock, monkeypatch):
    results = [RuntimeError("disk on fire"), os.path.join(settings.base, "m")]

    def download_url(cloud_url):
        result = results.pop(0)
        if isinstance(result, Exception):
            raise result
        return result

    monkeypatch.setattr(fetch, "get_model_url", lambda model_id: "http://x/m.tar.xz")
    monkeypatch.setattr(fetch, "download_url", download_url)
    assert fetch.download_detection_model("k") == os.path.join(settings.base, "m")
    assert log == [("info", "Download model"),
                   ("warning", "Failed download ombrix model: disk on fire")]
    assert clock.sleeps == [1]


def test_download_url_gets_the_link_by_keyword(fetch, settings, clock, monkeypatch):
    seen = []
    monkeypatch.setattr(fetch, "get_model_url", lambda *a, **k: seen.append((a, k)) or "http://l")
    monkeypatch.setattr(fetch, "download_url", lambda **k: seen.append(k) or "/m")
    assert fetch.download_detection_model("k") == "/m"
    assert seen == [(("k",), {}), {"cloud_url": "http://l"}]


@pytest.mark.parametrize("error", [ValueError("no url"), KeyboardInterrupt()])
def test_get_model_url_errors_propagate(fetch, settings, clock, monkeypatch, error):
    def get_model_url(model_id):
        raise error

    monkeypatch.setattr(fetch, "get_model_url", get_model_url)
    with pytest.raises(type(error)):
        fetch.download_detection_model("k")


def test_interrupt_in_download_url_propagates(fetch, settings, clock, monkeypatch):
    def download_url(cloud_url):
        raise KeyboardInterrupt

    monkeypatch.setattr(fetch, "get_model_url", lambda model_id: "http://x")
    monkeypatch.setattr(fetch, "download_url", download_url)
    with pytest.raises(KeyboardInterrupt):
        fetch.download_detection_model("k")
    assert clock.sleeps == []


def test_every_response_of_a_retried_download_is_closed(fetch, settings, server, clock,
                                                        monkeypatch):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 4)
    url = _serve_model(server, replies=Reply(404, b"x" * 100000))
    server.models["model_a"] = json_reply({"url": url})
    assert fetch.download_detection_model("model_a") is None
    assert len(spy.responses) == 8 and spy.closed == spy.responses
    assert all(r.raw.closed for r in spy.responses)


def test_base_directory_as_a_path_object(fetch, settings, server, monkeypatch):
    import pathlib

    monkeypatch.setattr(fetch, "BASE_MODEL_DIR", pathlib.Path(settings.base))
    os.makedirs(os.path.join(settings.base, "model_a"))
    assert fetch.download_url(_serve_model(server)) == os.path.join(settings.base, "model_a")


@pytest.mark.parametrize("method", ["isreg", "issym", "islnk", "mode", "size"])
def test_a_member_failing_in_download_urls_extraction_leaves_no_model(fetch, settings, server,
                                                                      log, monkeypatch, method):
    # tarfile opens the archive with a TarInfo class whose method (or
    # attribute) raises for one member at its first call (read), then at its
    # second, and so on: each extraction fails as logged and leaves only the
    # journal, until it is asked no more and the model comes whole.
    class Boom(Exception):
        pass

    members = [Member("model_a", "dir"), Member("model_a/model.tflite", data=b"t" * 100),
               Member("model_a/link", "symlink", linkname="model.tflite")]
    url = _serve_model(server, replies=Reply(200, archive_bytes(members)))
    archive = os.path.join(settings.base, "model_a.tar.xz")
    for at in range(50):
        calls = []

        def hit(member):
            if object.__getattribute__(member, "name") == "model_a/model.tflite":
                calls.append(method)
                if len(calls) == at + 1:
                    raise Boom(method)

        hostile = hostile_member(method, [True], hit)
        module = type(tarfile)("tarfile")
        vars(module).update(vars(tarfile))
        module.open = lambda *args, **kwargs: tarfile.open(*args, tarinfo=hostile, **kwargs)
        monkeypatch.setattr(fetch, "tarfile", module)
        result = fetch.download_url(url)
        if len(calls) <= at:
            break
        assert result is None
        assert log[-1] == ("warning", EXTRACT_FAILED + archive + " - " + method)
        assert os.listdir(settings.base) == ["model_a.tar.xz.journal"]
    assert at > 0 and result == os.path.join(settings.base, "model_a")


@pytest.mark.parametrize("part,fault", [("os", "raises"), ("os.path", "raises"),
                                        ("os.path", "returns a path that cannot be encoded")])
def test_an_os_function_failing_at_any_call_of_download_url(fetch, settings, server, log,
                                                            monkeypatch, part, fault):
    # The functions of os (or os.path) that download_url looks up in the
    # module raise in turn at each of the calls a clean fetch makes (or
    # return a path that cannot be encoded): each failure is logged with the
    # error's text and None returned, and the next call brings the model
    # whole.
    class Boom(Exception):
        pass

    def failing(at, calls):
        def wrap(name, function):
            def wrapped(*args, **kwargs):
                calls.append(name)
                if len(calls) == at and fault == "raises":
                    raise Boom(name)
                result = function(*args, **kwargs)
                return result + "\ud800" if len(calls) == at and isinstance(result, str) else result
            return wrapped

        def namespace(module, skip=()):
            functions = (types.FunctionType, types.BuiltinFunctionType)
            return types.SimpleNamespace(**{
                n: wrap(n, f) if isinstance(f, functions) else f
                for n, f in vars(module).items() if not n.startswith("__") and n not in skip})
        if part == "os.path":
            return types.SimpleNamespace(path=namespace(os.path), **{
                n: getattr(os, n) for n in dir(os) if not n.startswith("__") and n != "path"})
        return types.SimpleNamespace(path=os.path, **vars(namespace(os, ("path",))))

    url = _serve_model(server)
    model_dir = os.path.join(settings.base, "model_a")
    clean = []
    monkeypatch.setattr(fetch, "os", failing(0, clean))
    assert fetch.download_url(url) == model_dir
    assert len(clean) > 1
    for at in range(1, len(clean) + 1):
        shutil.rmtree(settings.base)
        calls = []
        monkeypatch.setattr(fetch, "os", failing(at, calls))
        result = fetch.download_url(url)
        if fault == "raises":
            assert result is None
            assert log[-1][0] == "warning" and log[-1][1].endswith(" - " + calls[at - 1])
        elif result is None:  # the encoding's error, or no path below the base directory
            level, text = log[-1]
            assert level == "warning" and text.endswith(
                ("surrogates not allowed", TRAVERSAL + "model_a")), (calls[at - 1], text)
        else:
            assert result == model_dir, calls[at - 1]
        monkeypatch.setattr(fetch, "os", os)
        assert fetch.download_url(url) == model_dir, calls[at - 1]
        _assert_model(model_dir)
