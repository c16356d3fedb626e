"""A short tour of the rolling queue."""
import threading

from ombrix_sdk.structures.tideq import TideQueue


def main():
    q = TideQueue(5)
    for frame in range(12):
        q.put({"frame": frame})
    print("capacity 5 after 12 puts holds frames", [f["frame"] for f in q.queue])
    print("drain_fast(3) ->", [f["frame"] for f in q.drain_fast(3)])

    done = threading.Event()
    got = []

    def produce():
        for i in range(1000):
            q.put(i)
        done.set()

    t = threading.Thread(target=produce)
    t.start()
    while not (done.is_set() and q.empty()):
        got.extend(q.drain_fast(64))
    t.join()
    print("consumer received %d of 1000 items, newest %d; the rest were dropped" % (len(got), got[-1]))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
