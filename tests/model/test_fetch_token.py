"""get_device_token and get_model_url against a real token file and a local
model-URL endpoint."""

import json
import socket

import pytest

from fetch_support import Reply, RequestsSpy, json_reply

URL_LINE = "Get the download url from model_id:"
NO_TOKEN = "No device token available, cannot fetch model URL"


def _error_text(fn):
    try:
        fn()
    except Exception as e:  # the text the module must log for the same error
        return str(e)
    raise AssertionError("no error")


# --- get_device_token -------------------------------------------------------


@pytest.mark.parametrize("content,token", [
    (b"abc\n", "abc"),
    (b"a\nb", "ab"),
    (b"a\nb\n\n", "ab"),
    (b"tok\r\n", "tok"),
    (b"a\rb\r", "ab"),
    (b"  tok \t\n", "  tok \t"),
    (b"", ""),
    ("t\u00f6ken\n".encode("utf-8"), "t\u00f6ken"),
], ids=["trailing-lf", "two-lines", "blank-lines", "crlf", "cr", "blanks-kept", "empty", "utf8"])
def test_token_is_the_file_without_line_breaks(fetch, settings, log, content, token):
    with open(settings.token_file, "wb") as f:
        f.write(content)
    assert fetch.get_device_token() == token
    assert log == []


def test_token_is_read_afresh_each_call(fetch, settings):
    assert fetch.get_device_token() == "secret-token"
    with open(settings.token_file, "w") as f:
        f.write("other")
    assert fetch.get_device_token() == "other"


def test_missing_token_file(fetch, settings, log, tmp_path):
    path = str(tmp_path / "nowhere" / "token")
    fetch.TOKEN_FILE = path  # restored by the settings fixture
    assert fetch.get_device_token() is None
    assert log == [("warning", "Token file not found at " + path)]


@pytest.mark.parametrize("case", ["directory", "not-utf8", "not-a-path"])
def test_unreadable_token_file(fetch, settings, log, tmp_path, case):
    if case == "directory":
        value = str(tmp_path)
    elif case == "not-utf8":
        value = settings.token_file
        with open(value, "wb") as f:
            f.write(b"\xff\xfetoken")
    else:
        value = None
    fetch.TOKEN_FILE = value
    expected = _error_text(lambda: open(value, "r", encoding="utf-8").read())
    assert fetch.get_device_token() is None
    assert log == [("warning", "Failed to read device token: " + expected)]


def test_token_file_is_closed(fetch, settings, monkeypatch):
    opened = []
    real_open = open

    def recording_open(*args, **kwargs):
        f = real_open(*args, **kwargs)
        opened.append((args, kwargs, f))
        return f

    monkeypatch.setattr(fetch, "open", recording_open, raising=False)
    assert fetch.get_device_token() == "secret-token"
    [(args, kwargs, f)] = opened
    assert args == (settings.token_file, "r") and kwargs == {"encoding": "utf-8"}
    assert f.closed


# --- get_model_url: direct links ---------------------------------------------


@pytest.mark.parametrize("model_id", ["https://cdn.example/m.tar.xz", "http://x/y", "httpfoo"])
def test_direct_url_passes_through(fetch, settings, server, log, model_id):
    import os

    os.remove(settings.token_file)  # would log a warning if it were read
    assert fetch.get_model_url(model_id) == model_id
    assert fetch.get_model_url(model_id=model_id) == model_id
    assert log == [("info", URL_LINE + model_id)] * 2
    assert server.requests == []


# --- get_model_url: model keys through the backend ----------------------------


def test_model_key_gives_the_signed_link(fetch, settings, server, log):
    link = server.url("/archives/model_a.tar.xz?sig=1")
    server.models["model_a"] = json_reply({"url": link, "size": 3})
    assert fetch.get_model_url("model_a") == link
    assert log == [("info", URL_LINE + "model_a")]
    [(path, headers)] = server.requests
    assert path == "/v1/models/model_a/download-url"
    assert headers["x-device-token"] == "Bearer secret-token"


def test_request_has_one_header_and_a_30_second_timeout(fetch, settings, server, monkeypatch):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    server.models["k"] = json_reply({"url": "http://x/k.tar.xz"})
    assert fetch.get_model_url("k") == "http://x/k.tar.xz"
    [(args, kwargs)] = spy.calls
    assert args == (server.url("/v1/models/k/download-url"),)
    # redirects are followed by the module itself (see test_fetch_token_redirects.py)
    assert kwargs == {"headers": {"x-device-token": "Bearer secret-token"}, "timeout": 30,
                      "allow_redirects": False}


def test_uppercase_scheme_is_a_model_key(fetch, settings, server, log):
    fetch.get_model_url("HTTPS://host/m")
    assert server.paths() == ["/v1/models/HTTPS://host/m/download-url"]


def test_every_placeholder_is_replaced_verbatim(fetch, settings, server, monkeypatch):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    fetch.MODEL_URL = server.url("/v1/models/<MODEL_KEY>/download-url?key=<MODEL_KEY>")
    server.models["m%2F1"] = json_reply({"url": "http://x/a.tar.xz"})
    assert fetch.get_model_url("m%2F1") == "http://x/a.tar.xz"
    assert spy.calls[0][0] == (server.url("/v1/models/m%2F1/download-url?key=m%2F1"),)
    assert server.paths() == ["/v1/models/m%2F1/download-url?key=m%2F1"]


def test_empty_token_is_still_sent(fetch, settings, server, log, monkeypatch):
    with open(settings.token_file, "w") as f:
        f.write("\n")
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    server.token = ""
    server.models["k"] = json_reply({"url": "http://x/k.tar.xz"})
    fetch.get_model_url("k")
    assert spy.calls[0][1]["headers"] == {"x-device-token": "Bearer "}
    assert len(server.requests) == 1


def test_missing_token_file_means_no_request(fetch, settings, server, log):
    import os

    os.remove(settings.token_file)
    assert fetch.get_model_url("model_a") is None
    assert log == [
        ("info", URL_LINE + "model_a"),
        ("warning", "Token file not found at " + settings.token_file),
        ("warning", NO_TOKEN),
    ]
    assert server.requests == []


def test_replaced_get_device_token_is_used(fetch, settings, server, monkeypatch, log):
    monkeypatch.setattr(fetch, "get_device_token", lambda: None)
    assert fetch.get_model_url("k") is None
    assert log == [("info", URL_LINE + "k"), ("warning", NO_TOKEN)]
    assert server.requests == []


@pytest.mark.parametrize("status", [401, 403, 404, 500])
def test_status_other_than_200(fetch, settings, server, log, status):
    server.models["k"] = json_reply({"url": "http://x/k.tar.xz"}, status)
    assert fetch.get_model_url("k") is None
    assert log[1:] == [("warning", "failed to get the model url with status. %d" % status)]


def test_wrong_token_is_refused_by_the_backend(fetch, settings, server, log):
    with open(settings.token_file, "w") as f:
        f.write("stolen\n")
    server.models["k"] = json_reply({"url": "http://x/k.tar.xz"})
    assert fetch.get_model_url("k") is None
    assert log[1:] == [("warning", "failed to get the model url with status. 401")]


def test_null_url_is_none_without_a_message(fetch, settings, server, log):
    server.models["k"] = json_reply({"url": None})
    assert fetch.get_model_url("k") is None
    assert log == [("info", URL_LINE + "k")]


@pytest.mark.parametrize("body,error", [
    (b'{"link": "http://x"}', lambda: {}["url"]),
    (b"<html>oops</html>", lambda: json.loads("<html>oops</html>")),
    (b'["http://x"]', lambda: json.loads('["http://x"]')["url"]),
    (b'{"url": 5}', "Expected unicode, got int"),
    (b'{"url": ["http://x"]}', "Expected unicode, got list"),
    (b'{"url": "\xff"}', lambda: b'{"url": "\xff"}'.decode("UTF-8")),
], ids=["missing-url", "not-json", "not-an-object", "int-url", "list-url", "not-utf8"])
def test_bad_reply_bodies(fetch, settings, server, log, body, error):
    server.models["k"] = Reply(200, body)
    assert fetch.get_model_url("k") is None
    text = error if isinstance(error, str) else _error_text(error)
    assert log == [("info", URL_LINE + "k"), ("warning", "failed to get the model url " + text)]


def test_missing_url_message_names_the_key(fetch, settings, server, log):
    server.models["k"] = json_reply({})
    fetch.get_model_url("k")
    assert log[-1] == ("warning", "failed to get the model url 'url'")


def test_connection_refused(fetch, settings, log):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    fetch.MODEL_URL = "http://127.0.0.1:%d/<MODEL_KEY>" % port
    assert fetch.get_model_url("k") is None
    level, text = log[-1]
    assert level == "warning" and text.startswith("failed to get the model url ")
    assert "Connection refused" in text or "Errno 111" in text


def test_unusable_model_url_setting(fetch, settings, log):
    fetch.MODEL_URL = None
    assert fetch.get_model_url("k") is None
    assert log[-1] == ("warning", "failed to get the model url "
                       + _error_text(lambda: None.replace("<MODEL_KEY>", "k")))


@pytest.mark.parametrize("reply", [
    json_reply({"url": "http://x/k.tar.xz"}), json_reply({}, 500), Reply(200, b"no json")])
def test_response_is_closed(fetch, settings, server, monkeypatch, reply):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    server.models["k"] = reply
    fetch.get_model_url("k")
    assert len(spy.responses) == 1 and spy.closed == spy.responses


def test_interrupt_is_not_caught(fetch, settings, monkeypatch):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(fetch, "get_device_token", interrupted)
    with pytest.raises(KeyboardInterrupt):
        fetch.get_model_url("k")


def test_failing_close_is_a_read_failure(fetch, settings, log, monkeypatch):
    class Closing(object):
        def __init__(self, f):
            self.f = f

        def read(self):
            return self.f.read()

        def close(self):
            self.f.close()
            raise OSError("close failed")

    monkeypatch.setattr(fetch, "open", lambda *a, **k: Closing(open(*a, **k)), raising=False)
    assert fetch.get_device_token() is None
    assert log == [("warning", "Failed to read device token: close failed")]


def test_a_status_code_whose_comparison_fails(fetch, settings, server, log, monkeypatch):
    class OddStatus(int):
        def __ne__(self, other):
            raise ValueError("odd status")

    spy = RequestsSpy()
    get = spy.get

    def odd_get(*args, **kwargs):
        response = get(*args, **kwargs)
        response.status_code = OddStatus(response.status_code)
        return response

    spy.get = odd_get
    monkeypatch.setattr(fetch, "requests", spy)
    server.models["k"] = json_reply({"url": "http://x/k.tar.xz"})
    assert fetch.get_model_url("k") is None
    assert log[-1] == ("warning", "failed to get the model url odd status")
