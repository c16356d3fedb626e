"""python -m ombrix_sdk.demo: the SDK end to end on this machine.

1. Model fetch: an embedded backend on 127.0.0.1 (model-URL service that
   checks the device token, archive store with signed links) serves a
   generated OpenVINO model as a .tar.xz archive.  The demo writes a token
   file, points the SDK's settings at the backend, the token file and a
   temporary model directory, downloads the model with
   ``download_detection_model`` (the SDK logs its progress to stderr), tells
   its framework with ``check_model_type`` and downloads it again to show
   that the model directory is reused.
2. Pipeline: producer threads put synthetic frames into a ``TideQueue``
   faster than the consumer drains it with ``drain_fast``; the consumer
   filters every frame with a ``ZoneWarden``.  One line per second, then a
   summary.
3. With ``--snapshot PATH``: a picture of the regions and of the last frame
   the consumer filtered, drawn by ``ombrix_sdk.roi.show`` (needs Pillow).

The SDK reads its settings from the environment once, when its constants
package is first imported.  So the demo sets the environment variables
first and imports the SDK modules only afterwards; if the settings were
already read in this process, it runs itself in a fresh interpreter.

Exit status: 0 when everything worked, 1 with an "error:" line on stderr
when something did not, 2 for bad options.
"""

import argparse
import json
import logging
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from urllib.parse import urlsplit

from ombrix_sdk.demo import backend as demo_backend
from ombrix_sdk.demo import pipeline

_SETTINGS_MODULES = ("ombrix_sdk.constants", "ombrix_sdk.constants.variables")
# Download threads given up on while still inside the SDK (see main()).
_abandoned = []
DEFAULT_MODEL_KEY = "demo-detector"


class DemoError(Exception):
    """A failure to report to the user in one line."""


# --- options -----------------------------------------------------------------


def _frame_size(text):
    m = re.match(r"^\s*(\d+)\s*[xX]\s*(\d+)\s*$", text)
    if not m or int(m.group(1)) < 1 or int(m.group(2)) < 1:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT in pixels, e.g. 1920x1080, got %r" % text)
    return int(m.group(1)), int(m.group(2))


def _bounded(kind, low, high):
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a number: %r" % text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError("must be between %s and %s, got %s" % (low, high, text))
        return value
    return parse


def build_parser():
    p = argparse.ArgumentParser(
        prog="python -m ombrix_sdk.demo",
        description="Run the Ombrix SDK end to end: fetch a detection model from a "
                    "backend (an embedded one on 127.0.0.1 unless --backend-host is "
                    "given), then run a producer/consumer pipeline through a TideQueue "
                    "and a ZoneWarden region filter.",
        epilog="Environment: OMBRIX_LOG_LEVEL sets the SDK's log level (default INFO). "
               "The demo sets SERVER_HOST, OMBRIX_MODEL_DIR and OMBRIX_TOKEN_FILE itself.")
    p.add_argument("--duration", type=_bounded(float, 0.5, 3600), default=5.0, metavar="SECONDS",
                   help="how long the pipeline runs (default: %(default)s)")
    p.add_argument("--producers", type=_bounded(int, 1, 64), default=2, metavar="N",
                   help="producer threads, one per simulated camera (default: %(default)s)")
    p.add_argument("--fps", type=_bounded(float, 1, 10000), default=250.0,
                   help="frames per second put by each producer (default: %(default)s)")
    p.add_argument("--queue-size", type=_bounded(int, 1, 100000), default=32, metavar="N",
                   help="TideQueue capacity, the batch_size (default: %(default)s)")
    p.add_argument("--batch", type=_bounded(int, 1, 100000), default=8, metavar="N",
                   help="max_items of each drain_fast call (default: %(default)s)")
    p.add_argument("--cycle-ms", type=_bounded(float, 0, 10000), default=25.0, metavar="MS",
                   help="emulated inference time per drained batch (default: %(default)s)")
    p.add_argument("--regions", metavar="FILE",
                   help="JSON file with a list of region records "
                        '({"roi_id": ..., "label": ..., "include": true|false, '
                        '"points": [[x, y], ...]}, x and y as fractions of the frame); '
                        "default: an entrance, a parking area and a pillar excluded from it")
    p.add_argument("--pass-unmatched", action="store_true",
                   help="add an empty region, so that items outside every region pass "
                        "through unchanged instead of being dropped")
    p.add_argument("--frame-size", type=_frame_size, default=(1920, 1080), metavar="WxH",
                   help="frame size in pixels (default: 1920x1080)")
    p.add_argument("--queue-debug", action="store_true",
                   help='build the TideQueue with debug=True: one "Throwing away element" '
                        "warning per dropped frame")
    p.add_argument("--snapshot", metavar="PATH",
                   help="write a picture of the regions and of one filtered frame (what was "
                        "kept, what was dropped) to PATH, a .png; needs Pillow "
                        '(pip install "ombrix-sdk[viz]")')
    p.add_argument("--seed", type=int, default=7, help="seed of the synthetic scene (default: %(default)s)")
    g = p.add_argument_group("model fetch")
    g.add_argument("--backend-host", metavar="URL",
                   help="use this backend (the SERVER_HOST setting, e.g. https://api.example.com) "
                        "instead of the embedded one; needs --token-file or an existing "
                        "token file and a model key it knows")
    g.add_argument("--model-key", default=DEFAULT_MODEL_KEY,
                   help="model key to download (default: %(default)s)")
    g.add_argument("--token-file", metavar="FILE",
                   help="device token file for --backend-host (default: the SDK's "
                        "OMBRIX_TOKEN_FILE setting)")
    g.add_argument("--model-dir", metavar="DIR",
                   help="model base directory, kept afterwards (default: a temporary "
                        "directory, removed at the end)")
    g.add_argument("--model-timeout", type=_bounded(float, 1, 3600), default=30.0,
                   metavar="SECONDS", help="give up on the model download after this long "
                                           "(default: %(default)s)")
    return p


# --- regions -----------------------------------------------------------------


def load_regions(path, pass_unmatched):
    """Region records from ``path`` (or the default scene), checked."""
    if path is None:
        regions = json.loads(json.dumps(pipeline.DEFAULT_REGIONS))
    else:
        try:
            with open(path, encoding="utf-8") as f:
                regions = json.load(f)
        except OSError as e:
            raise DemoError("cannot read the regions file %s: %s" % (path, e.strerror or e))
        except ValueError as e:
            raise DemoError("the regions file %s is not valid JSON: %s" % (path, e))
        if isinstance(regions, dict) and "regions" in regions:
            regions = regions["regions"]
    if not isinstance(regions, list):
        raise DemoError("the regions file must hold a JSON list of region records")
    for n, record in enumerate(regions, 1):
        where = "region %d of %s" % (n, path or "the default scene")
        if not isinstance(record, dict):
            raise DemoError("%s is not a JSON object" % where)
        for key in ("include", "points"):
            if key not in record:
                raise DemoError('%s has no "%s" entry' % (where, key))
        points = record["points"]
        if not isinstance(points, list) or not all(
                isinstance(p, list) and len(p) == 2
                and all(isinstance(c, (int, float)) and not isinstance(c, bool) for c in p)
                for p in points):
            raise DemoError('%s: "points" must be a list of [x, y] number pairs' % where)
        if 0 < len(points) < 3:
            raise DemoError('%s: a polygon needs at least 3 points (or none for the empty region)' % where)
    if pass_unmatched:
        regions.append(dict(pipeline.PASS_UNMATCHED_REGION))
    return regions


# --- the run -----------------------------------------------------------------


def _say(text=""):
    print(text, flush=True)


def _import_sdk():
    try:
        from ombrix_sdk import constants
        from ombrix_sdk.constants import variables
        from ombrix_sdk.model import fetch
        from ombrix_sdk.roi import zone_warden
        from ombrix_sdk.structures import tideq
    except ImportError as e:
        raise DemoError("the SDK is not completely installed (%s); install it with "
                        "pip install . from the repository" % e)
    return constants, variables, fetch, zone_warden, tideq


def _download(fetch, key, timeout, backend):
    """download_detection_model(key) on a helper thread, bounded by
    ``timeout`` (the SDK itself retries for minutes) and cut short when the
    embedded backend refused a request."""
    result = {}

    def work():
        try:
            result["dir"] = fetch.download_detection_model(key)
        except BaseException as e:
            result["error"] = e

    refused = len(backend.refusals) if backend else 0
    worker = threading.Thread(target=work, name="model-download", daemon=True)
    started = time.monotonic()
    worker.start()
    _abandoned.append(worker)
    while worker.is_alive():
        worker.join(0.1)
        if backend and len(backend.refusals) > refused:
            raise DemoError("the embedded backend refused a request: %s" % backend.refusals[refused])
        if time.monotonic() - started > timeout:
            raise DemoError("the model download did not finish within %g s (see the SDK's "
                            "log lines above; --model-timeout sets this limit)" % timeout)
    _abandoned.remove(worker)
    if "error" in result:
        raise DemoError("download_detection_model raised %r" % (result["error"],))
    if result.get("dir") is None:
        raise DemoError("download_detection_model returned None (see the log lines above)")
    return result["dir"], time.monotonic() - started


def _model_step(sdk, args, backend):
    constants, _, fetch, _, _ = sdk
    _say("== 1. model fetch: download_detection_model(%r)" % args.model_key)
    model_dir, seconds = _download(fetch, args.model_key, args.model_timeout, backend)
    _say("model directory: %s (%.2f s)" % (model_dir, seconds))
    if not os.path.isdir(model_dir):
        raise DemoError("download_detection_model returned %s, which is not a directory" % model_dir)
    _say("files: %s" % ", ".join(sorted(os.listdir(model_dir))))
    kind = fetch.check_model_type(model_dir)
    _say("check_model_type -> %r" % (kind,))
    if backend and kind != constants.MODEL_TYPE.OPENVINO:
        raise DemoError("check_model_type gave %r for the OpenVINO model, expected %r"
                        % (kind, constants.MODEL_TYPE.OPENVINO))
    _say("second call: download_detection_model(%r) again" % args.model_key)
    downloads = backend.archive_downloads if backend else 0
    again, seconds = _download(fetch, args.model_key, args.model_timeout, backend)
    if again != model_dir:
        raise DemoError("the second download returned %s instead of %s" % (again, model_dir))
    if backend:
        if backend.archive_downloads != downloads:
            raise DemoError("the second call downloaded the archive again")
        _say("model directory reused in %.3f s: no archive downloaded "
             "(backend: %d model-URL requests, %d archive download)"
             % (seconds, backend.url_requests, backend.archive_downloads))
        if downloads == 0:
            _say("(the model was already in %s before this run)" % constants.BASE_MODEL_DIR)
    else:
        _say("model directory reused in %.3f s" % seconds)
    leftovers = [n for n in os.listdir(constants.BASE_MODEL_DIR) if n.endswith(".tar.xz")]
    if leftovers:
        raise DemoError("archives left in the model directory: %s" % ", ".join(leftovers))
    return model_dir, kind


def _pipeline_step(sdk, args, regions, errors):
    constants, _, _, zone_warden, tideq = sdk
    includes = [r.get("label", "?") for r in regions if r["include"] and r["points"]]
    excludes = [r.get("label", "?") for r in regions if not r["include"] and r["points"]]
    empty = [r.get("label", "?") for r in regions if not r["points"]]
    _say()
    _say("== 2. pipeline: %d producer%s x %g frames/s -> TideQueue(%d) -> drain_fast(%d) "
         "every %g ms -> ZoneWarden" % (args.producers, "s" if args.producers > 1 else "",
                                        args.fps, args.queue_size, args.batch, args.cycle_ms))
    _say("regions: include %s; exclude %s; empty region %s; frame %dx%d"
         % (", ".join(includes) or "none", ", ".join(excludes) or "none",
            ", ".join(empty) or "none", args.frame_size[0], args.frame_size[1]))
    errors_before = errors.count
    stats, failures, elapsed, q = pipeline.run_pipeline(
        tideq.TideQueue, zone_warden.ZoneWarden, regions, constants.KEY.ROI_NAME, args,
        sys.stdout)
    put = sum(stats.put)
    _say()
    _say("summary after %.1f s:" % elapsed)
    _say("  frames put      %6d (%d/s) by %d producer%s"
         % (put, put / elapsed, args.producers, "s" if args.producers > 1 else ""))
    _say("  frames dropped  %6d (%.1f%%): the oldest ones, thrown away by put while the "
         "consumer was behind" % (stats.dropped, 100.0 * stats.dropped / max(put, 1)))
    _say("  frames drained  %6d (%d/s) in %d drain_fast calls, %.0f ms old on average"
         % (stats.drained, stats.drained / elapsed, stats.drain_calls,
            1000.0 * stats.age_sum / max(stats.drained, 1)))
    kept = ", ".join("%s %d" % (k, v) for k, v in stats.kept.items()) or "-"
    _say("  items filtered  %6d: %d kept (%s; %d in more than one region), %d passed unmatched"
         % (stats.items_in, stats.kept_items, kept, stats.multi_region, stats.passed))
    sdk_errors = errors.count - errors_before
    _say("  filter errors   %6d" % sdk_errors)
    if failures:
        raise DemoError("pipeline thread failed: %s" % "; ".join(failures))
    if stats.order_errors:
        raise DemoError("%d frames came out of the queue out of order" % stats.order_errors)
    lost = [i for i in range(args.producers) if stats.last_seq[i] != stats.put[i] - 1]
    if lost or q.qsize() or put != stats.drained + stats.dropped:
        raise DemoError("frames unaccounted for: put %d, drained %d, dropped %d, left %d"
                        % (put, stats.drained, stats.dropped, q.qsize()))
    if sdk_errors:
        raise DemoError("the SDK logged %d errors during the pipeline (tracebacks above)" % sdk_errors)
    if stats.drained == 0:
        raise DemoError("the consumer drained no frame")
    if stats.dropped == 0:
        _say("  (the consumer kept up, so nothing was dropped; raise --fps or --producers)")
    return stats


# --- snapshot ----------------------------------------------------------------


def _check_snapshot(path):
    """Fail before the run, not after it, when the picture cannot be made."""
    try:
        import PIL  # noqa: F401  (only whether it is there)
    except ImportError:
        raise DemoError("--snapshot needs Pillow, which is not installed; install it with "
                        'pip install "ombrix-sdk[viz]" (or pip install Pillow)')
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise DemoError("--snapshot: the directory %s does not exist" % folder)


def _frame_boxes(frame, key):
    """The frame's detections and tracks as the picture's box entries; the
    tags the pipeline's filter left in the tracks' info are left out."""
    boxes = [list(d.tlwh) for d in frame.detections]
    for t in frame.tracks:
        info = dict((k, v) for k, v in t.info.items() if k not in (key.ROI_ID, key.ROI_NAME))
        boxes.append({"tlwh": list(t.tlwh), "info": info})
    return boxes


def _snapshot_step(sdk, args, regions, frame):
    from ombrix_sdk.roi import show
    constants = sdk[0]
    if frame is None:
        raise DemoError("--snapshot: the consumer filtered no frame to draw")
    boxes = _frame_boxes(frame, constants.KEY)
    try:
        picture = show.render(regions, args.frame_size, boxes)
        picture.image.save(args.snapshot)
    except (OSError, ValueError, show.InputError) as e:
        raise DemoError("--snapshot: cannot write %s: %s" % (args.snapshot, e))
    kept = sum(1 for v in picture.verdicts if v.outcome == "kept")
    _say()
    _say("snapshot: %s (the regions and frame %d of camera %d: %d boxes, %d kept by "
         "filter_in_roi)" % (os.path.abspath(args.snapshot), frame.seq, frame.source,
                             len(picture.verdicts), kept))


def run(args):
    regions = load_regions(args.regions, args.pass_unmatched)
    if args.snapshot:
        _check_snapshot(args.snapshot)
    workdir = tempfile.mkdtemp(prefix="ombrix-demo-")
    backend = None
    try:
        env = {"OMBRIX_MODEL_DIR": os.path.abspath(args.model_dir) if args.model_dir
               else os.path.join(workdir, "models")}
        if args.backend_host:
            env["SERVER_HOST"] = args.backend_host
            if args.token_file:
                env["OMBRIX_TOKEN_FILE"] = os.path.abspath(args.token_file)
        else:
            token = secrets.token_hex(16)
            token_file = os.path.join(workdir, "device_token")
            with open(token_file, "w", encoding="utf-8") as f:
                f.write(token + "\n")
            _say("embedded backend: building the model archive %s.tar.xz (OpenVINO: "
                 "model.xml + model.bin)" % args.model_key)
            archive = demo_backend.build_model_archive(args.model_key)
            backend = demo_backend.DemoBackend(
                token, {args.model_key: (args.model_key + ".tar.xz", archive)}).start()
            _say("embedded backend: %s (archive %.1f MiB, device token in %s)"
                 % (backend.base_url, len(archive) / float(demo_backend.MIB), token_file))
            env["SERVER_HOST"] = backend.base_url
            env["OMBRIX_TOKEN_FILE"] = token_file
        # The settings are read when the SDK is first imported: set them first.
        os.environ.update(env)
        sdk = _import_sdk()
        constants, variables = sdk[0], sdk[1]
        _say("settings: SERVER_HOST=%s" % constants.SERVER_HOST)
        _say("          MODEL_URL=%s" % constants.MODEL_URL)
        _say("          BASE_MODEL_DIR=%s" % constants.BASE_MODEL_DIR)
        _say("          TOKEN_FILE=%s" % variables.TOKEN_FILE)
        _say("(the SDK's log lines go to stderr)")
        _say()
        if backend:
            backend.set_model_url_path(urlsplit(constants.MODEL_URL).path)
        # roi.show imports the SDK, so it too comes after the settings.
        from ombrix_sdk.roi.show import _ErrorCounter
        errors = _ErrorCounter()
        logging.getLogger("ombrix_sdk").addHandler(errors)
        _model_step(sdk, args, backend)
        stats = _pipeline_step(sdk, args, regions, errors)
        if args.snapshot:
            _snapshot_step(sdk, args, regions, stats.last_frame)
    finally:
        if backend:
            backend.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    _say()
    _say("demo OK")
    return 0


def main(argv=None):
    code = _main(argv)
    if any(t.is_alive() for t in _abandoned):
        # A download that was given up on is still retrying on a daemon
        # thread, and nothing is left to clean up (run() did that): end the
        # process at once instead of tearing the interpreter down under it.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    return code


def _main(argv):
    if argv is None:
        argv = sys.argv[1:]
    args = build_parser().parse_args(argv)
    if any(name in sys.modules for name in _SETTINGS_MODULES):
        # The settings were read already; only a fresh interpreter sees ours.
        sys.stdout.flush()
        return subprocess.call([sys.executable, "-m", "ombrix_sdk.demo"] + list(argv))
    try:
        return run(args)
    except DemoError as e:
        sys.stdout.flush()
        print("error: %s" % e, file=sys.stderr, flush=True)
        print("demo FAILED", flush=True)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr, flush=True)
        return 130
    except Exception:
        sys.stdout.flush()
        traceback.print_exc()
        print("error: unexpected failure (traceback above)", file=sys.stderr, flush=True)
        print("demo FAILED", flush=True)
        return 1
