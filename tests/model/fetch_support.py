"""Test helpers for ombrix_sdk.model.fetch: a local HTTP server with scripted
replies and fault injection, tar.xz archives built on the fly, a fake clock.
"""

import http.server
import io
import json
import logging
import os
import tarfile
import threading
from urllib.parse import urlsplit

MODEL_URL_PATH = "/v1/models/<MODEL_KEY>/download-url"
_MODEL_PREFIX, _MODEL_SUFFIX = MODEL_URL_PATH.split("<MODEL_KEY>")


class Reply(object):
    """One scripted answer.

    status, body, headers: what is sent. length: "auto" sends the real
    Content-Length, None sends none, anything else is sent as given. cut:
    send only this many body bytes, then drop the connection. delay: wait
    before the status line. stall_after/stall: after this many body bytes,
    wait this long before the rest. pace (bytes, seconds): send the body
    this many bytes at a time, pausing between. etag/last_modified:
    validators sent with the answer. ranges: a request "Range: bytes=N-"
    whose If-Range matches a validator gets 206 with the rest (cut then
    counts from N). chunked: the body goes in chunked transfer coding, in
    one chunk and the last one (length then still sends a Content-Length
    beside it, if not None).
    """

    def __init__(self, status=200, body=b"", headers=None, length="auto", cut=None,
                 delay=0.0, stall_after=None, stall=0.0, etag=None, last_modified=None,
                 ranges=False, pace=None, chunked=False):
        self.status = status
        self.body = body
        self.headers = dict(headers or {})
        self.length = length
        self.cut = cut
        self.delay = delay
        self.stall_after = stall_after
        self.stall = stall
        self.etag = etag
        self.last_modified = last_modified
        self.ranges = ranges
        self.pace = pace
        self.chunked = chunked

    def answer(self, headers):
        """(status, body, headers) of the answer to a request with `headers`."""
        extra = dict(self.headers)
        if self.etag is not None:
            extra["ETag"] = self.etag
        if self.last_modified is not None:
            extra["Last-Modified"] = self.last_modified
        wanted, condition = headers.get("Range"), headers.get("If-Range")
        if (self.status == 200 and self.ranges and wanted and wanted.startswith("bytes=")
                and wanted.endswith("-") and condition is not None
                and condition in (self.etag, self.last_modified)):
            start = int(wanted[len("bytes="):-1])
            total = len(self.body)
            extra["Content-Range"] = "bytes %d-%d/%d" % (start, total - 1, total)
            return 206, self.body[start:], extra
        return self.status, self.body, extra


def json_reply(obj, status=200):
    return Reply(status, json.dumps(obj).encode("utf-8"), {"Content-Type": "application/json"})


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        owner = self.server.owner
        reply = owner.dispatch(self.path, self.headers)
        stop = owner.stopping
        status, full_body, headers = reply.answer(self.headers)
        try:
            if reply.delay and stop.wait(reply.delay):
                return
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            if reply.length == "auto":
                self.send_header("Content-Length", str(len(full_body)))
            elif reply.length is not None:
                self.send_header("Content-Length", str(reply.length))
            if reply.chunked:
                self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            body = full_body if reply.cut is None else full_body[:reply.cut]
            if reply.chunked:
                body = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
            if reply.stall_after is not None:
                self._send(body[:reply.stall_after])
                self.wfile.flush()
                if stop.wait(reply.stall):
                    return
                body = body[reply.stall_after:]
            view = memoryview(body)
            step = reply.pace[0] if reply.pace else 1 << 20
            for start in range(0, len(view), step):
                if start and reply.pace and stop.wait(reply.pace[1]):
                    return
                self._send(view[start:start + step])
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _send(self, data):
        self.wfile.write(data)
        with self.server.owner._lock:
            self.server.owner.body_bytes += len(data)


class ModelServer(object):
    """A threaded HTTP server on 127.0.0.1 (ephemeral port).

    ``models[key]`` scripts the model-URL endpoint for one model key (a
    request without the header "x-device-token: Bearer <token>" gets 401);
    ``routes[path]`` scripts any other path (query ignored). A list of
    replies is served in order and its last one repeats. Every request is
    recorded in ``requests`` as (path with query, headers dict).
    """

    def __init__(self):
        self.token = None
        self.models = {}
        self.routes = {}
        self.requests = []
        self.body_bytes = 0  # body bytes written to clients, all requests
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.owner = self
        self.port = self.httpd.server_address[1]
        self._thread = threading.Thread(target=self.httpd.serve_forever, args=(0.01,))
        self._thread.daemon = True

    def start(self):
        self._thread.start()
        return self

    def close(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self._thread.join(5)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    @property
    def model_url(self):
        return self.url(MODEL_URL_PATH)

    def paths(self):
        return [path for path, _ in self.requests]

    def _next(self, table, key):
        replies = table.get(key)
        if replies is None:
            return None
        if isinstance(replies, Reply):
            return replies
        return replies.pop(0) if len(replies) > 1 else replies[0]

    def dispatch(self, raw_path, headers):
        with self._lock:
            self.requests.append((raw_path, {k.lower(): v for k, v in headers.items()}))
            path = urlsplit(raw_path).path
            if path.startswith(_MODEL_PREFIX) and path.endswith(_MODEL_SUFFIX):
                key = path[len(_MODEL_PREFIX):len(path) - len(_MODEL_SUFFIX)]
                if headers.get("x-device-token") != "Bearer %s" % (self.token,):
                    return json_reply({"error": "unauthorized"}, 401)
                reply = self._next(self.models, key)
            else:
                reply = self._next(self.routes, path)
            return reply if reply is not None else Reply(404, b"not found")


# --- archives -------------------------------------------------------------


class Member(object):
    """One archive member: kind is "file", "dir", "symlink", "hardlink",
    "fifo", "chr" or "blk"; mode None gives 0o644 for files, 0o755 for
    directories."""

    def __init__(self, name, kind="file", data=b"", linkname="", mode=None):
        self.name, self.kind, self.data, self.linkname = name, kind, data, linkname
        self.mode = mode


def archive_bytes(members, preset=0):
    """A tar.xz archive holding `members` in order, names taken verbatim."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:xz", preset=preset) as tar:
        for m in members:
            info = tarfile.TarInfo(m.name)
            info.mtime = 1700000000
            if m.kind == "file":
                info.size = len(m.data)
                info.mode = 0o644 if m.mode is None else m.mode
                tar.addfile(info, io.BytesIO(m.data))
                continue
            if m.kind == "dir":
                info.type, info.mode = tarfile.DIRTYPE, 0o755 if m.mode is None else m.mode
            elif m.kind in ("fifo", "chr", "blk"):
                info.type = {"fifo": tarfile.FIFOTYPE, "chr": tarfile.CHRTYPE,
                             "blk": tarfile.BLKTYPE}[m.kind]
                info.devmajor, info.devminor = (0, 0) if m.kind == "fifo" else (8, 0)
            elif m.kind == "symlink":
                info.type, info.linkname = tarfile.SYMTYPE, m.linkname
            elif m.kind == "hardlink":
                info.type, info.linkname = tarfile.LNKTYPE, m.linkname
            else:
                raise ValueError(m.kind)
            tar.addfile(info)
    return buf.getvalue()


def cut_after_member(data, count):
    """The longest prefix of the tar.xz archive `data` that decodes to its
    first `count` members and at most a part of the next header: a cut that
    tarfile, reading the stream, takes for the end of the archive."""
    import lzma
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:xz") as tar:
        members = tar.getmembers()
    end = members[count].offset  # where the next header begins

    def decoded(cut):
        return len(lzma.LZMADecompressor().decompress(data[:cut]))
    low, high = 0, len(data)  # the shortest cut that decodes to `end`: by halves
    while low < high:
        middle = (low + high) // 2
        low, high = (middle + 1, high) if decoded(middle) < end else (low, middle)
    if not end <= decoded(low) < end + 512:
        raise ValueError("no cut decodes to the end of member %d" % count)
    return data[:low]


def model_archive(name, files):
    """Archive of one model directory `name` holding `files` {name: bytes}."""
    members = [Member(name, "dir")]
    members += [Member(name + "/" + f, data=data) for f, data in sorted(files.items())]
    return archive_bytes(members)


def hostile_member(name, armed, hit):
    """A TarInfo class whose method `name` (called) or attribute `name` (read)
    first runs hit(member), once armed."""
    if callable(getattr(tarfile.TarInfo, name, None)):
        def method(self):
            if armed:
                hit(self)
            return getattr(tarfile.TarInfo, name)(self)
        return type("Hostile", (tarfile.TarInfo,), {name: method})

    def read(self, attribute):
        if attribute == name and armed:
            hit(self)
        return tarfile.TarInfo.__getattribute__(self, attribute)
    return type("Hostile", (tarfile.TarInfo,), {"__getattribute__": read})


def tree(root):
    """Every path below root (relative, '/'-separated), links not followed."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            found.append(os.path.relpath(os.path.join(dirpath, n), root).replace(os.sep, "/"))
    return sorted(found)


# --- clock and log ---------------------------------------------------------


class FakeClock(object):
    """Stands in for the time module: time() and sleep() on a virtual clock."""

    def __init__(self, start=1000.0):
        self.now = start
        self.sleeps = []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


class RecordingHandler(logging.Handler):
    def __init__(self):
        logging.Handler.__init__(self, level=1)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname.lower(), record.getMessage()))


class RequestsSpy(object):
    """The real requests module, recording each get() call with its keyword
    arguments and its response, and which responses were closed."""

    def __init__(self):
        import requests

        self._requests = requests
        self.exceptions = requests.exceptions
        self.calls = []
        self.responses = []
        self.closed = []

    def get(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        response = self._requests.get(*args, **kwargs)
        close = response.close
        closed = self.closed

        def recording_close():
            closed.append(response)
            close()

        response.close = recording_close
        self.responses.append(response)
        return response


# --- redirects and origins ------------------------------------------------


class HostModelServer(ModelServer):
    """A ModelServer on another loopback address, such as 127.0.0.2: another
    host as far as the client can tell."""

    def __init__(self, host):
        ModelServer.__init__(self)
        self.httpd.server_close()
        self.host = host
        self.httpd = http.server.ThreadingHTTPServer((host, 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.owner = self
        self.port = self.httpd.server_address[1]
        self._thread = threading.Thread(target=self.httpd.serve_forever, args=(0.01,))
        self._thread.daemon = True

    def url(self, path):
        return "http://%s:%d%s" % (self.host, self.port, path)


def redirect(location, status=302):
    return Reply(status, b"moved", {"Location": location})


class OriginRouter(object):
    """Stands in for the requests module: every get() goes, with its keyword
    arguments, to `server` for the same path and query, whatever the scheme,
    host and port of the address, and the response reports the address asked
    for as its url (as requests prepares it). This puts origins such as
    https://backend.test on their default ports in front of a real server
    without TLS or privileged ports; other schemes go to requests as they
    are. Records each get() as (url, kwargs)."""

    def __init__(self, server):
        import requests

        self._requests = requests
        self.exceptions = requests.exceptions
        self.server = server
        self.calls = []

    def get(self, url, **kwargs):
        from urllib.parse import urlunsplit

        self.calls.append((url, kwargs))
        if urlsplit(url).scheme not in ("http", "https"):
            return self._requests.get(url, **kwargs)  # refused by requests
        prepared = self._requests.Request("GET", url).prepare().url
        parts = urlsplit(prepared)
        response = self._requests.get(
            self.server.url(urlunsplit(("", "", parts.path, parts.query, ""))), **kwargs)
        response.url = prepared
        return response
