"""The demo's video pipeline: producers -> TideQueue -> consumer -> ZoneWarden.

Producer threads stand in for cameras: each puts synthetic frames (detections
and tracks moving across the picture) into one ``TideQueue`` at a steady
rate.  The consumer stands in for the inference loop: every cycle it takes a
batch with ``drain_fast`` and filters each frame's detections and tracks with
a ``ZoneWarden``.  The producers are faster than the consumer, so the queue
throws away its oldest frames and the consumer always works on recent ones.

Dropped frames are counted from the frames themselves: every source numbers
its frames, the queue keeps them in order, so a gap in the numbers the
consumer sees is exactly the number of frames thrown away.

The SDK classes are passed in by the caller (see ``cli``), which imports
them only after the settings are in the environment.
"""

import math
import random
import threading
import time

# Region records of the default scene, in fractions of the frame (x right,
# y down).  The entrance and the parking area overlap a little; the pillar
# hides part of the parking area.
DEFAULT_REGIONS = [
    {"roi_id": "r-entrance", "label": "entrance", "include": True,
     "points": [[0.05, 0.50], [0.45, 0.50], [0.45, 0.95], [0.05, 0.95]]},
    {"roi_id": "r-parking", "label": "parking", "include": True,
     "points": [[0.40, 0.10], [0.95, 0.10], [0.95, 0.65], [0.40, 0.65]]},
    {"roi_id": "r-pillar", "label": "pillar", "include": False,
     "points": [[0.60, 0.25], [0.75, 0.25], [0.75, 0.45], [0.60, 0.45]]},
]
# The empty region: items outside every include region pass unchanged.
PASS_UNMATCHED_REGION = {"roi_id": "r-rest", "label": "rest of frame",
                         "include": True, "points": []}


class Detection(object):
    """One detector output: a pixel box (x, y, width, height) and a class."""

    def __init__(self, tlwh, cls, score):
        self.tlwh = tlwh
        self.cls = cls
        self.score = score


class Track(object):
    """One tracker output: its box and an ``info`` mapping."""

    def __init__(self, tlwh, track_id, cls):
        self.tlwh = tlwh
        self.info = {"track_id": track_id, "cls": cls}


class Frame(object):
    def __init__(self, source, seq, detections, tracks):
        self.source = source
        self.seq = seq
        self.created = time.monotonic()
        self.detections = detections
        self.tracks = tracks


class _Mover(object):
    """An object that drifts across the frame on a Lissajous path."""

    def __init__(self, rng, width, height):
        self.w = rng.uniform(0.04, 0.10) * width
        self.h = rng.uniform(0.06, 0.16) * height
        self.ax, self.ay = rng.uniform(0.3, 1.3), rng.uniform(0.3, 1.3)
        self.px, self.py = rng.uniform(0, 2 * math.pi), rng.uniform(0, 2 * math.pi)
        self.cls = rng.choice(["person", "car", "bicycle"])
        self.width, self.height = width, height

    def box(self, t):
        cx = (0.5 + 0.47 * math.sin(self.ax * t + self.px)) * self.width
        cy = (0.5 + 0.47 * math.sin(self.ay * t + self.py)) * self.height
        return (cx - self.w / 2, cy - self.h / 2, self.w, self.h)


class Stats(object):
    """Counters written by one thread each and read by the reporter."""

    def __init__(self, producers, region_labels):
        self.put = [0] * producers
        self.last_seq = [-1] * producers
        self.drained = 0
        self.dropped = 0
        self.drain_calls = 0
        self.items_in = 0
        self.kept = dict((label, 0) for label in region_labels)
        self.kept_items = 0
        self.multi_region = 0
        self.passed = 0
        self.order_errors = 0
        self.age_sum = 0.0
        # The newest frame the consumer filtered, for a picture afterwards.
        self.last_frame = None

    def snapshot(self, queued):
        return {
            "put": sum(self.put), "drained": self.drained, "dropped": self.dropped,
            "queued": queued, "kept": dict(self.kept), "passed": self.passed,
            "kept_items": self.kept_items,
        }


def _produce(q, stats, index, fps, frame_size, stop, failures, seed):
    try:
        rng = random.Random(seed + index)
        width, height = frame_size
        movers = [_Mover(rng, width, height) for _ in range(10)]
        period = 1.0 / fps
        seq = 0
        next_due = time.monotonic()
        while not stop.is_set():
            t = time.monotonic()
            detections = [Detection(m.box(t), m.cls, round(rng.uniform(0.4, 0.99), 2))
                          for m in movers[:6]]
            tracks = [Track(m.box(t), 100 * index + i, m.cls)
                      for i, m in enumerate(movers[6:])]
            q.put(Frame(index, seq, detections, tracks))
            seq += 1
            stats.put[index] = seq
            next_due += period
            delay = next_due - time.monotonic()
            if delay > 0:
                stop.wait(delay)
            else:
                next_due = time.monotonic()  # behind schedule: do not burst
    except BaseException as e:  # reported by the main thread
        failures.append("producer %d: %r" % (index, e))
        stop.set()


def _tags(item, key_names):
    info = getattr(item, "info", None)
    if isinstance(info, dict):
        return info.get(key_names)
    return getattr(item, key_names, None)


def _consume(q, warden, stats, batch, cycle_s, frame_size, stop, producers_done,
             failures, name_key):
    try:
        frame_sz = list(frame_size)
        while True:
            started = time.monotonic()
            # Read before draining: once the producers are done, an empty
            # drain means that nothing is left.
            done = producers_done.is_set()
            frames = q.drain_fast(batch)
            stats.drain_calls += 1
            for frame in frames:
                stats.age_sum += started - frame.created
                previous = stats.last_seq[frame.source]
                if frame.seq <= previous:
                    stats.order_errors += 1
                else:
                    stats.dropped += frame.seq - previous - 1
                    stats.last_seq[frame.source] = frame.seq
                for items in (frame.detections, frame.tracks):
                    stats.items_in += len(items)
                    originals = set(map(id, items))
                    for kept in warden.filter_in_roi(items, frame_sz):
                        names = _tags(kept, name_key)
                        if names:
                            stats.kept_items += 1
                            for label in names:
                                stats.kept[label] = stats.kept.get(label, 0) + 1
                            if len(names) > 1:
                                stats.multi_region += 1
                        elif id(kept) in originals:
                            stats.passed += 1
                stats.drained += 1
                stats.last_frame = frame
            if not frames and done:
                return
            # Emulated inference time: the consumer is the slow stage.
            rest = cycle_s - (time.monotonic() - started)
            if rest > 0 and not producers_done.is_set():
                time.sleep(rest)
    except BaseException as e:
        failures.append("consumer: %r" % (e,))
        stop.set()


def run_pipeline(TideQueue, ZoneWarden, regions, name_key, args, out):
    """Run the pipeline for ``args.duration`` seconds, printing one line per
    second to ``out``; return (stats, failures, elapsed seconds, queue)."""
    labels = [r.get("label", "") for r in regions if r.get("include") and len(r.get("points", ()))]
    warden = ZoneWarden(regions, frame_sz=list(args.frame_size))
    q = TideQueue(args.queue_size, debug=args.queue_debug)
    stats = Stats(args.producers, labels)
    stop, producers_done = threading.Event(), threading.Event()
    failures = []
    producers = [
        threading.Thread(target=_produce, name="camera-%d" % i,
                         args=(q, stats, i, args.fps, args.frame_size, stop, failures, args.seed))
        for i in range(args.producers)
    ]
    consumer = threading.Thread(
        target=_consume, name="inference",
        args=(q, warden, stats, args.batch, args.cycle_ms / 1000.0, args.frame_size,
              stop, producers_done, failures, name_key))
    start = time.monotonic()
    consumer.start()
    for t in producers:
        t.start()
    previous = stats.snapshot(0)
    second = 0
    try:
        while not stop.is_set() and second < math.ceil(args.duration):
            second += 1
            stop.wait(max(0.0, start + min(second, args.duration) - time.monotonic()))
            now = stats.snapshot(q.qsize())
            _print_second(out, min(second, args.duration), previous, now, labels)
            previous = now
    finally:
        stop.set()
        for t in producers:
            t.join()
        producers_done.set()
        consumer.join()
    return stats, failures, time.monotonic() - start, q


def _print_second(out, second, before, now, labels):
    kept = ", ".join("%s %d" % (label, now["kept"].get(label, 0) - before["kept"].get(label, 0))
                     for label in labels)
    line = "[%4.1fs] put %4d  dropped %4d  drained %4d  queued %3d  | kept: %s" % (
        second, now["put"] - before["put"], now["dropped"] - before["dropped"],
        now["drained"] - before["drained"], now["queued"], kept or "-")
    if now["passed"] != before["passed"]:
        line += ", passed unmatched %d" % (now["passed"] - before["passed"])
    print(line, file=out, flush=True)
