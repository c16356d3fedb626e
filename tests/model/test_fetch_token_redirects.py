"""get_model_url and redirects: they are followed like requests follows them,
but the device token goes only to the origin of MODEL_URL."""

from urllib.parse import urlsplit

import pytest
import requests

from fetch_support import (HostModelServer, ModelServer, OriginRouter, RequestsSpy, json_reply,
                           redirect)

TOKEN_HEADER = {"x-device-token": "Bearer secret-token"}
LINK = "http://127.0.0.1:1/archives/k.tar.xz?sig=1"
REDIRECT_STATUSES = [301, 302, 303, 307, 308]


def _error_text(fn):
    try:
        fn()
    except Exception as e:  # the text the module must log for the same error
        return str(e)
    raise AssertionError("no error")


def _model_path(key):
    return "/v1/models/%s/download-url" % key


@pytest.fixture(params=["other-host", "other-port"])
def elsewhere(request):
    """A second real server: on 127.0.0.2, or on another port of 127.0.0.1."""
    srv = HostModelServer("127.0.0.2") if request.param == "other-host" else ModelServer()
    srv.token = "secret-token"
    srv.start()
    yield srv
    srv.close()


# --- real servers --------------------------------------------------------------


@pytest.mark.parametrize("status", REDIRECT_STATUSES)
def test_redirect_elsewhere_goes_without_the_token(fetch, settings, server, elsewhere, log,
                                                   status):
    server.models["k"] = redirect(elsewhere.url("/links/k"), status)
    elsewhere.routes["/links/k"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") == LINK
    assert log == [("info", "Get the download url from model_id:k")]
    [(_, first)] = server.requests
    assert first["x-device-token"] == "Bearer secret-token"
    [(path, headers)] = elsewhere.requests
    assert path == "/links/k" and "x-device-token" not in headers


def test_model_endpoint_elsewhere_sees_no_token(fetch, settings, server, elsewhere, log):
    # The other server asks for the same token as the backend: it gets none.
    server.models["k"] = redirect(elsewhere.url(_model_path("k")))
    elsewhere.models["k"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") is None
    assert log[1:] == [("warning", "failed to get the model url with status. 401")]
    assert "x-device-token" not in elsewhere.requests[0][1]


@pytest.mark.parametrize("status", REDIRECT_STATUSES)
@pytest.mark.parametrize("form", ["absolute", "relative", "dot-segments"])
def test_redirect_within_the_origin_keeps_the_token(fetch, settings, server, log, status, form):
    # The model endpoint refuses a request without the token with 401.
    location = {"absolute": server.url(_model_path("k2")), "relative": _model_path("k2"),
                "dot-segments": "../k2/download-url"}[form]
    server.models["k"] = redirect(location, status)
    server.models["k2"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") == LINK
    assert log == [("info", "Get the download url from model_id:k")]
    assert server.paths() == [_model_path("k"), _model_path("k2")]


def test_token_never_comes_back(fetch, settings, server, elsewhere, log):
    # backend -> elsewhere -> backend: the way back is without the token.
    server.models["k"] = redirect(elsewhere.url("/bounce"))
    elsewhere.routes["/bounce"] = redirect(server.url(_model_path("k2")))
    server.models["k2"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") is None
    assert log[1:] == [("warning", "failed to get the model url with status. 401")]
    assert server.paths() == [_model_path("k"), _model_path("k2")]
    assert "x-device-token" not in server.requests[1][1]
    assert "x-device-token" not in elsewhere.requests[0][1]


@pytest.mark.parametrize("loop", ["same-origin", "between-servers"])
def test_redirect_loop_ends_like_requests_ends_it(fetch, settings, server, elsewhere, log,
                                                  monkeypatch, loop):
    if loop == "same-origin":
        server.models["k"] = redirect(_model_path("k"))
    else:
        server.models["k"] = redirect(elsewhere.url("/pong"))
        elsewhere.routes["/pong"] = redirect(server.url("/ping"))
        server.routes["/ping"] = redirect(elsewhere.url("/pong"))
    # requests itself, following the same loop with the same header
    expected = _error_text(lambda: requests.get(server.url(_model_path("k")),
                                                headers=TOKEN_HEADER, timeout=30))
    by_requests = len(server.requests) + len(elsewhere.requests)
    del server.requests[:], elsewhere.requests[:]

    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    assert fetch.get_model_url("k") is None
    assert log[1:] == [("warning", "failed to get the model url " + expected)]
    assert expected == "Exceeded 30 redirects."
    assert len(server.requests) + len(elsewhere.requests) == by_requests == 31
    assert len(spy.calls) == 31 and spy.closed == spy.responses
    assert all(kwargs["timeout"] == 30 and kwargs["allow_redirects"] is False
               for _, kwargs in spy.calls)
    with_token = [h for _, h in server.requests + elsewhere.requests if "x-device-token" in h]
    assert len(with_token) == (31 if loop == "same-origin" else 1)


@pytest.mark.parametrize("reply", [
    json_reply({"url": LINK}, 302), redirect("", 302), redirect("/moved", 304)],
    ids=["no-location", "empty-location", "not-modified"])
def test_answer_that_is_no_redirect(fetch, settings, server, log, reply):
    server.models["k"] = reply
    assert fetch.get_model_url("k") is None
    assert log[1:] == [("warning", "failed to get the model url with status. %d" % reply.status)]
    assert len(server.requests) == 1


def test_every_request_is_closed_and_timed(fetch, settings, server, elsewhere, monkeypatch):
    spy = RequestsSpy()
    monkeypatch.setattr(fetch, "requests", spy)
    server.models["k"] = redirect(_model_path("k2"), 307)
    server.models["k2"] = redirect(elsewhere.url("/links/k"), 301)
    elsewhere.routes["/links/k"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") == LINK
    assert [(args, kwargs["headers"]) for args, kwargs in spy.calls] == [
        ((server.url(_model_path("k")),), TOKEN_HEADER),
        ((server.url(_model_path("k2")),), TOKEN_HEADER),
        ((elsewhere.url("/links/k"),), {}),
    ]
    assert all(kwargs["timeout"] == 30 and kwargs["allow_redirects"] is False
               for _, kwargs in spy.calls)
    assert len(spy.responses) == 3 and spy.closed == spy.responses


@pytest.mark.parametrize("location", [
    "/links/caf\u00e9?q=a b",
    "links/x?y=1",
    "../../links/z",
    "//127.0.0.1:{port}/links/w",
    "/links/v#part",
], ids=["utf8-and-blank", "relative-path", "climbing", "scheme-relative", "fragment"])
def test_location_is_read_like_requests_reads_it(fetch, settings, server, location):
    location = location.format(port=server.port)
    # sent as UTF-8 bytes, which http.server writes out as latin-1
    server.routes["/start/k"] = redirect(location.encode("utf-8").decode("latin-1"))
    requests.get(server.url("/start/k"), timeout=30)
    by_requests = server.paths()
    final = urlsplit(by_requests[-1]).path
    server.routes[final] = json_reply({"url": LINK})
    del server.requests[:]

    fetch.MODEL_URL = server.url("/start/<MODEL_KEY>")
    assert fetch.get_model_url("k") == LINK
    assert server.paths() == by_requests and len(by_requests) == 2


# --- the origin rule, for origins no test can bind ------------------------------
# (default ports, https). The hosts are loopback addresses and localhost, so
# that a module that let requests follow the redirects itself would not look
# names up or leave the machine.


@pytest.mark.parametrize("origin,location,kept", [
    ("http://127.0.0.3", "/end", True),
    ("http://127.0.0.3", "http://127.0.0.3/end", True),
    ("http://localhost", "http://LOCALHOST:80/end", True),
    ("http://127.0.0.3:80", "http://127.0.0.3/end", True),
    ("https://127.0.0.3", "https://127.0.0.3:443/end", True),
    ("http://127.0.0.3:8080", "http://127.0.0.3:8080/end", True),
    ("http://127.0.0.3", "https://127.0.0.3/end", True),
    ("http://127.0.0.3:80", "https://127.0.0.3:443/end", True),
    ("http://127.0.0.3", "https://127.0.0.3:8443/end", False),
    ("http://127.0.0.3:8080", "https://127.0.0.3/end", False),
    ("http://127.0.0.3:8080", "https://127.0.0.3:8080/end", False),
    ("https://127.0.0.3", "http://127.0.0.3/end", False),
    ("https://127.0.0.3", "http://127.0.0.3:443/end", False),
    ("http://127.0.0.3", "http://127.0.0.3:8080/end", False),
    ("http://127.0.0.3", "http://127.0.0.4/end", False),
    ("http://127.0.0.3", "https://127.0.0.4/end", False),
    ("http://127.0.0.3", "//127.0.0.4/end", False),
    ("http://127.0.0.3", "http://127.0.0.30/end", False),
    ("http://127.0.0.3", "http://127.0.0.3@127.0.0.4/end", False),
    ("http://127.0.0.3", "http://127.0.0.4/end?host=127.0.0.3", False),
    ("http://localhost", "http://127.0.0.1/end", False),
    ("http://[::1]", "http://[::1]:80/end", True),
    ("http://[::1]", "http://[::2]/end", False),
])
def test_origin_rule(fetch, settings, server, monkeypatch, origin, location, kept):
    router = OriginRouter(server)
    monkeypatch.setattr(fetch, "requests", router)
    fetch.MODEL_URL = origin + "/start/<MODEL_KEY>"
    server.routes["/start/k"] = redirect(location)
    server.routes["/end"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") == LINK
    [(first, first_kwargs), (second, second_kwargs)] = router.calls
    assert first == origin + "/start/k" and first_kwargs["headers"] == TOKEN_HEADER
    assert second_kwargs["headers"] == (TOKEN_HEADER if kept else {})


@pytest.mark.parametrize("hops,tokens", [
    # upgrade, then a downgrade back to the origin's own address
    (["https://127.0.0.3/a", "http://127.0.0.3/end"], [True, True, False]),
    # upgrade, then on within https
    (["https://127.0.0.3/a", "https://127.0.0.3:443/end"], [True, True, True]),
    # away, then back to the origin itself
    (["http://127.0.0.4/a", "http://127.0.0.3/end"], [True, False, False]),
    (["/a", "http://127.0.0.3:8080/b", "/end"], [True, True, False, False]),
])
def test_token_is_dropped_for_good(fetch, settings, server, monkeypatch, hops, tokens):
    router = OriginRouter(server)
    monkeypatch.setattr(fetch, "requests", router)
    fetch.MODEL_URL = "http://127.0.0.3/start/<MODEL_KEY>"
    paths = ["/start/k"] + [urlsplit(hop).path for hop in hops]
    for path, hop in zip(paths, hops):
        server.routes[path] = redirect(hop)
    server.routes["/end"] = json_reply({"url": LINK})
    assert fetch.get_model_url("k") == LINK
    assert [kwargs["headers"] == TOKEN_HEADER for _, kwargs in router.calls] == tokens
    assert all(kwargs["headers"] in (TOKEN_HEADER, {}) for _, kwargs in router.calls)


@pytest.mark.parametrize("location", [
    "http://127.0.0.3:99999/end", "http://127.0.0.3:http/end", "ftp://127.0.0.3/end"])
def test_unusable_target_gets_no_token(fetch, settings, server, log, monkeypatch, location):
    # requests refuses these addresses; the module reports its error as usual.
    router = OriginRouter(server)
    monkeypatch.setattr(fetch, "requests", router)
    fetch.MODEL_URL = "http://127.0.0.3/start/<MODEL_KEY>"
    server.routes["/start/k"] = redirect(location)
    expected = _error_text(lambda: requests.get(location, timeout=30))
    assert fetch.get_model_url("k") is None
    assert log[-1] == ("warning", "failed to get the model url " + expected)
    assert router.calls[-1] == (location, {"headers": {}, "timeout": 30,
                                           "allow_redirects": False})
