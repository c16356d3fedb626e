"""Small timing helpers shared by the benchmark scripts."""
import time


def best_time(fn, repeat=5):
    """Best wall time of `repeat` runs of fn() (fn does its own inner loop)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def print_table(title, rows):
    """rows: list of (label, value, unit) tuples."""
    print(title)
    width = max(len(r[0]) for r in rows)
    for label, value, unit in rows:
        print("  {:<{w}}  {:>12.3f} {}".format(label, value, unit, w=width))
