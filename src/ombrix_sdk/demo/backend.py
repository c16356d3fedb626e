"""A stand-in for the Ombrix backend, served on 127.0.0.1 by the demo.

Two services in one HTTP server, as in production:

* the model-URL service: ``GET <model URL path with the model key>`` with the
  header ``x-device-token: Bearer <token>`` answers ``{"url": <signed link>}``;
  a missing or wrong token gets 401, an unknown model key 404;
* the archive store behind the signed links: ``GET /archives/<file>?expires=
  ...&signature=...`` streams the ``.tar.xz`` archive with its
  Content-Length; a link with a bad signature or past its expiry gets 403.

Only the standard library is used, so the backend runs wherever the SDK does.
"""

import hashlib
import hmac
import io
import json
import lzma
import os
import re
import tarfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote, unquote, urlsplit

MIB = 1024 * 1024
# Signed links stay valid this long, as short-lived links do in production.
LINK_LIFETIME_S = 300

_OPENVINO_XML = """<?xml version="1.0"?>
<net name="{name}" version="11">
  <layers>
    <layer id="0" name="images" type="Parameter" version="opset1">
      <data shape="1,3,640,640" element_type="f32"/>
    </layer>
    <layer id="1" name="boxes" type="Result" version="opset1"/>
  </layers>
  <edges>
    <edge from-layer="0" from-port="0" to-layer="1" to-port="0"/>
  </edges>
</net>
"""


def build_model_archive(name, size_mib=10):
    """Return the bytes of ``<name>.tar.xz``: a directory ``<name>/`` holding
    ``model.xml`` and ``model.bin``, the two files of an OpenVINO model.

    The weights are random, so the archive barely compresses; their size is
    chosen so that the archive comes out just under ``size_mib`` MiB, which
    makes the SDK's download progress land on every 10 percent step with its
    1 MiB chunks.
    """
    weights = os.urandom(size_mib * MIB - 96 * 1024)
    xml = _OPENVINO_XML.format(name=name).encode("utf-8")
    now = int(time.time())
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        top = tarfile.TarInfo(name)
        top.type = tarfile.DIRTYPE
        top.mode = 0o755
        top.mtime = now
        tar.addfile(top)
        for file_name, data in (("model.xml", xml), ("model.bin", weights)):
            info = tarfile.TarInfo(name + "/" + file_name)
            info.size = len(data)
            info.mode = 0o644
            info.mtime = now
            tar.addfile(info, io.BytesIO(data))
    # The fastest xz preset: random weights do not compress anyway.
    return lzma.compress(raw.getvalue(), format=lzma.FORMAT_XZ, preset=0)


class DemoBackend(object):
    """Model-URL service and archive store on 127.0.0.1, on a free port.

    ``archives`` maps a model key to ``(file name, archive bytes)``.  The
    counters (``url_requests``, ``url_refused``, ``archive_downloads``,
    ``archive_refused``) and ``refusals`` (one text per refused request)
    let the caller check what the SDK asked for.
    """

    def __init__(self, token, archives, host="127.0.0.1"):
        self.token = token
        self.archives = dict(archives)
        self._secret = os.urandom(32)
        self._lock = threading.Lock()
        self.url_requests = 0
        self.url_refused = 0
        self.archive_downloads = 0
        self.archive_refused = 0
        self.refusals = []
        self._route = None
        self._server = ThreadingHTTPServer((host, 0), _Handler)
        self._server.daemon_threads = True
        self._server.backend = self
        self._thread = None

    @property
    def base_url(self):
        host, port = self._server.server_address[:2]
        return "http://%s:%d" % (host, port)

    def set_model_url_path(self, path_template):
        """Serve model-URL requests at ``path_template``, the path of the
        SDK's model URL with "<MODEL_KEY>" where the key goes."""
        parts = [re.escape(p) for p in path_template.split("<MODEL_KEY>")]
        self._route = re.compile("^" + "([^/]+)".join(parts) + "$")

    def start(self):
        self._thread = threading.Thread(
            target=self._server.serve_forever, name="demo-backend", daemon=True
        )
        self._thread.start()
        return self

    def stop(self):
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()

    # --- request handling (called on the server's threads) -----------------

    def _sign(self, file_name, expires):
        message = ("%s\n%d" % (file_name, expires)).encode("utf-8")
        return hmac.new(self._secret, message, hashlib.sha256).hexdigest()

    def _refuse(self, what, text):
        with self._lock:
            if what == "url":
                self.url_refused += 1
            else:
                self.archive_refused += 1
            self.refusals.append(text)

    def handle(self, request):
        parts = urlsplit(request.path)
        path = unquote(parts.path)
        match = self._route.match(path) if self._route is not None else None
        if match:
            return self._model_url(request, match.group(1))
        if path.startswith("/archives/"):
            return self._archive(request, path[len("/archives/"):], parts.query)
        return request.reply_json(404, {"error": "no such endpoint"})

    def _model_url(self, request, key):
        with self._lock:
            self.url_requests += 1
        given = request.headers.get("x-device-token")
        if given is None or not hmac.compare_digest(given, "Bearer " + self.token):
            self._refuse("url", "model-URL request for %r with a wrong or missing device token" % key)
            return request.reply_json(401, {"error": "invalid device token"})
        if key not in self.archives:
            self._refuse("url", "model-URL request for the unknown model key %r" % key)
            return request.reply_json(404, {"error": "unknown model"})
        file_name = self.archives[key][0]
        expires = int(time.time()) + LINK_LIFETIME_S
        url = "%s/archives/%s?expires=%d&signature=%s" % (
            self.base_url, quote(file_name), expires, self._sign(file_name, expires))
        return request.reply_json(200, {"url": url})

    def _archive(self, request, file_name, query):
        fields = parse_qs(query)
        try:
            expires = int(fields["expires"][0])
            signature = fields["signature"][0]
        except (KeyError, IndexError, ValueError):
            expires, signature = 0, ""
        data = None
        for name, archive in self.archives.values():
            if name == file_name:
                data = archive
        good = hmac.compare_digest(signature, self._sign(file_name, expires))
        if data is None or not good or expires < time.time():
            self._refuse("archive", "archive request for %r with an invalid or expired link" % file_name)
            return request.reply_json(403, {"error": "invalid link"})
        with self._lock:
            self.archive_downloads += 1
        request.send_response(200)
        request.send_header("Content-Type", "application/x-xz")
        request.send_header("Content-Length", str(len(data)))
        request.end_headers()
        view = memoryview(data)
        for start in range(0, len(data), 256 * 1024):
            request.wfile.write(view[start:start + 256 * 1024])


class _Handler(BaseHTTPRequestHandler):
    server_version = "OmbrixDemoBackend/1.0"

    def do_GET(self):
        try:
            self.server.backend.handle(self)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client went away; nothing to answer

    def reply_json(self, status, obj):
        body = json.dumps(obj).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        # The SDK's own log lines tell the story; no access log on stderr.
        pass
