"""Model fetch: download and extraction against curl + tar and plain Python,
and the memory a streamed download needs.

    python benchmarks/bench_fetch.py [--archive-mib N] [--body-mib N]

Defaults: a 64 MiB model archive and a 256 MiB body (environment variables
OMBRIX_BENCH_ARCHIVE_MIB and OMBRIX_BENCH_BODY_MIB, or the options, make
them smaller for a quick run). The files are served by a local HTTP server
in its own process on 127.0.0.1.

Rows:
  * download_url end to end (download, extraction, flushing the model to
    stable storage, archive removal) in seconds, and its time divided by
    that of `curl -o` + `tar -xJf` on the same archive (goal: at most 1.0)
    and by that of the same steps written plainly with requests and tarfile
    (goal: at most 1.1), neither of which flushes anything; and divided by
    the plain steps followed by the same fsync calls;
  * the same for a model of many small files (2,000 files of 2 KiB in 200
    directories), where the cost is per member rather than per byte: against
    `curl` + `tar` followed by an fsync of every extracted file and
    directory (goal: at most 1.0), against `curl` + `tar` alone (goal: at
    most 2.0), and against the plain Python steps with the same fsyncs;
  * how far the peak resident set (VmHWM) of a fresh interpreter rises
    above its resident set (VmRSS) while download_file streams the body to
    disk (goal: below 16 MiB), counted from just after the import (so
    including what the first request loads) and from after a small warm-up
    download; a control that holds the body whole shows the measure works.
"""
import argparse
import http.server
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20
REPEAT = 5
MODEL = "bench_model"


# --- the file server (run in its own process) ---------------------------------


class _Handler(http.server.SimpleHTTPRequestHandler):
    """Serves the directory; /body/<N> is N MiB generated on the fly."""

    block = os.urandom(MIB)

    def log_message(self, *args):
        pass

    def do_GET(self):
        if not self.path.startswith("/body/"):
            return http.server.SimpleHTTPRequestHandler.do_GET(self)
        mib = int(self.path[len("/body/"):])
        self.send_response(200)
        self.send_header("Content-Length", str(mib * MIB))
        self.end_headers()
        try:
            for _ in range(mib):
                self.wfile.write(self.block)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def copyfile(self, source, outputfile):
        self.connection.sendfile(source)


def serve(directory):
    os.chdir(directory)
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    httpd.daemon_threads = True
    print(httpd.server_address[1], flush=True)
    httpd.serve_forever()


class FileServer(object):
    def __init__(self, directory):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve",
                                      directory], stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()


# --- the archive ----------------------------------------------------------------


def build_archive(path, mib):
    """A model archive of random (incompressible) weights, about `mib` MiB."""
    weights = os.urandom(mib * MIB)
    with tarfile.open(path, "w:xz", preset=0) as tar:
        for name, data in ((MODEL, None), (MODEL + "/labels.txt", b"person\ncar\n"),
                           (MODEL + "/model.tflite", weights)):
            info = tarfile.TarInfo(name)
            if data is None:
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))


SMALL_FILES, SMALL_SIZE, SMALL_DIRS = 2000, 2048, 200


def build_small_files_archive(path):
    """A model of SMALL_FILES random files of SMALL_SIZE bytes spread over
    SMALL_DIRS directories."""
    with tarfile.open(path, "w:xz", preset=0) as tar:
        info = tarfile.TarInfo(MODEL)
        info.type, info.mode = tarfile.DIRTYPE, 0o755
        tar.addfile(info)
        for d in range(SMALL_DIRS):
            info = tarfile.TarInfo("%s/d%03d" % (MODEL, d))
            info.type, info.mode = tarfile.DIRTYPE, 0o755
            tar.addfile(info)
            for f in range(SMALL_FILES // SMALL_DIRS):
                info = tarfile.TarInfo("%s/d%03d/f%02d.bin" % (MODEL, d, f))
                info.size = SMALL_SIZE
                tar.addfile(info, io.BytesIO(os.urandom(SMALL_SIZE)))


# --- the ways of bringing the model onto the disk -------------------------------


def _fresh(base):
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)


def with_module(url, base):
    import ombrix_sdk.model.fetch as fetch

    fetch.BASE_MODEL_DIR = base
    model_dir = fetch.download_url(url)
    assert model_dir == os.path.join(base, MODEL), model_dir


def with_curl_and_tar(url, base):
    archive = os.path.join(base, MODEL + ".tar.xz")
    subprocess.check_call(["curl", "-sSf", "-o", archive, url])
    subprocess.check_call(["tar", "-xJf", archive, "-C", base])
    os.remove(archive)


def with_plain_python(url, base):
    import requests

    archive = os.path.join(base, MODEL + ".tar.xz")
    with requests.get(url, stream=True, timeout=300) as response:
        assert response.status_code == 200
        with open(archive, "wb") as f:
            for chunk in response.iter_content(chunk_size=MIB):
                f.write(chunk)
    with tarfile.open(archive, "r|xz") as tar:
        for member in tar:
            tar.extract(member, path=base)
    os.remove(archive)


def flush_model(base):
    """The model flushed to stable storage as download_url flushes it: an
    fsync of every file and directory in it, one after the other, then of
    the base directory."""
    paths = []
    for dirpath, _, filenames in os.walk(os.path.join(base, MODEL)):
        paths.append(dirpath)
        paths.extend(os.path.join(dirpath, name) for name in filenames)
    for path in paths + [base]:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def with_plain_python_flushed(url, base):
    with_plain_python(url, base)
    flush_model(base)


def with_curl_and_tar_flushed(url, base):
    with_curl_and_tar(url, base)
    flush_model(base)


def best_times(ways, url, base, check):
    """Best wall time of each of `ways` over REPEAT rounds, the ways taking
    turns within a round so that drift hits them alike; check(base) after
    each."""
    best = [float("inf")] * len(ways)
    for _ in range(REPEAT):
        for i, way in enumerate(ways):
            _fresh(base)
            start = time.perf_counter()
            way(url, base)
            best[i] = min(best[i], time.perf_counter() - start)
            check(base)
    shutil.rmtree(base, ignore_errors=True)
    return best


def one_large_file(size):
    def check(base):
        assert os.path.getsize(os.path.join(base, MODEL, "model.tflite")) == size
    return check


def small_files(base):
    count = sum(len(names) for _, _, names in os.walk(os.path.join(base, MODEL)))
    assert count == SMALL_FILES, count


# --- memory -------------------------------------------------------------------------

_MEMORY_PROBE = textwrap.dedent("""
    import os, sys, tempfile
    import ombrix_sdk.model.fetch as fetch
    warm_url, url, size, whole = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if whole == "1":  # control: the body held whole, as a non-streamed GET does
        import requests
        def download(url, path):
            with open(path, "wb") as f:
                f.write(requests.get(url, timeout=300).content)
            return True
        fetch.download_file = download

    def status(field):  # KiB
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "body.bin")
        imported = status("VmRSS")
        assert fetch.download_file(warm_url, path) is True  # connection machinery loaded
        warm = status("VmRSS")
        assert fetch.download_file(url, path) is True
        peak = status("VmHWM")
        assert os.path.getsize(path) == size
    print(imported, warm, peak)
""")


def memory_growth_kib(server, body_mib, whole=False):
    """How far the download lifts the peak RSS above the resident set before
    it, in KiB: from just after the import, and from after a 1 MiB warm-up
    download. `whole` measures the
    control instead, a download that holds the body in memory."""
    env = dict(os.environ, OMBRIX_LOG_LEVEL="WARNING")
    out = subprocess.check_output(
        [sys.executable, "-c", _MEMORY_PROBE, server.url("/body/1"),
         server.url("/body/%d" % body_mib), str(body_mib * MIB), "1" if whole else "0"],
        env=env,
        universal_newlines=True)
    imported, warm, peak = (int(v) for v in out.split())
    return peak - imported, peak - warm


# --- driver ---------------------------------------------------------------------------


def _sizes(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--archive-mib", type=int,
                        default=int(os.environ.get("OMBRIX_BENCH_ARCHIVE_MIB", "64")))
    parser.add_argument("--body-mib", type=int,
                        default=int(os.environ.get("OMBRIX_BENCH_BODY_MIB", "256")))
    args = parser.parse_args(argv)
    return args.archive_mib, args.body_mib


def run(archive_mib=None, body_mib=None):
    default_archive, default_body = _sizes([])
    archive_mib = archive_mib or default_archive
    body_mib = body_mib or default_body
    import logging

    logging.getLogger("ombrix_sdk.MODEL").setLevel(logging.WARNING)
    rows = []
    work = tempfile.mkdtemp(prefix="bench_fetch_")
    server = None
    try:
        served = os.path.join(work, "served")
        os.makedirs(served)
        build_archive(os.path.join(served, MODEL + ".tar.xz"), archive_mib)
        os.makedirs(os.path.join(served, "small"))
        build_small_files_archive(os.path.join(served, "small", MODEL + ".tar.xz"))
        server = FileServer(served)
        url = server.url("/%s.tar.xz" % MODEL)
        base = os.path.join(work, "models")
        size = archive_mib * MIB

        missing = [tool for tool in ("curl", "tar", "xz") if not shutil.which(tool)]
        ways = [with_module, with_plain_python, with_plain_python_flushed] + (
            [] if missing else [with_curl_and_tar])
        times = best_times(ways, url, base, one_large_file(size))
        ours, plain, flushed = times[0], times[1], times[2]
        rows.append(("download_url, %d MiB archive (s)" % archive_mib, ours, "s"))
        if missing:
            print("curl + tar comparison skipped: missing %s" % ", ".join(missing))
        else:
            shell = times[3]
            rows.append(("curl -o + tar -xJf (s)", shell, "s"))
            rows.append(("download_url / (curl + tar), goal <= 1.0", ours / shell, "x"))
        rows.append(("plain requests + tarfile (s)", plain, "s"))
        rows.append(("download_url / plain Python, goal <= 1.1", ours / plain, "x"))
        rows.append(("plain requests + tarfile + fsync of the model (s)", flushed, "s"))
        rows.append(("download_url / plain Python with the same fsyncs", ours / flushed, "x"))

        ways = [with_module, with_plain_python_flushed] + (
            [] if missing else [with_curl_and_tar_flushed, with_curl_and_tar])
        times = best_times(ways, server.url("/small/%s.tar.xz" % MODEL), base, small_files)
        ours, flushed = times[0], times[1]
        what = "%s files of %d KiB in %d directories" % (
            "{:,}".format(SMALL_FILES), SMALL_SIZE // 1024, SMALL_DIRS)
        rows.append(("download_url, %s (s)" % what, ours, "s"))
        if not missing:
            shell_flushed, shell = times[2], times[3]
            rows.append(("curl -o + tar -xJf + fsync of every file and directory, %s (s)"
                         % what, shell_flushed, "s"))
            rows.append(("download_url / (curl + tar + fsyncs), %s, goal <= 1.0" % what,
                         ours / shell_flushed, "x"))
            rows.append(("curl -o + tar -xJf, %s (s)" % what, shell, "s"))
            rows.append(("download_url / (curl + tar), %s, goal <= 2.0" % what, ours / shell,
                         "x"))
        rows.append(("plain requests + tarfile + the same fsyncs, %s (s)" % what, flushed, "s"))
        rows.append(("download_url / plain Python with the same fsyncs, %s" % what,
                     ours / flushed, "x"))

        from_import, from_warm = memory_growth_kib(server, body_mib)
        rows.append(("peak RSS over RSS before download_file of %d MiB, goal < 16"
                     % body_mib, from_import / 1024.0, "MiB"))
        rows.append(("  the same after a 1 MiB warm-up download", from_warm / 1024.0, "MiB"))
        control, _ = memory_growth_kib(server, body_mib, whole=True)
        rows.append(("  control: body held whole (requests .content), from import",
                     control / 1024.0, "MiB"))
    finally:
        if server is not None:
            server.close()
        shutil.rmtree(work, ignore_errors=True)
    return rows


def main(argv=None):
    sys.path.insert(0, ROOT)
    from benchmarks.common import print_table

    archive_mib, body_mib = _sizes(sys.argv[1:] if argv is None else argv)
    rows = run(archive_mib, body_mib)
    print_table("Model fetch (Python %s)" % sys.version.split()[0], rows)
    return rows


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve(sys.argv[2])
    else:
        main()
