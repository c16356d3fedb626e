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


def best_of_rounds(measurements, rounds=7):
    """Best result of each of `measurements` (name -> callable returning
    seconds), taken in rounds in which each runs once in turn, so that a
    burst of load on the machine falls on all of them alike."""
    best = dict.fromkeys(measurements, float("inf"))
    for _ in range(rounds):
        for name, measure in measurements.items():
            best[name] = min(best[name], measure())
    return best


def print_table(title, rows):
    """rows: list of (label, value, unit) tuples."""
    print(title)
    width = max(len(r[0]) for r in rows)
    for label, value, unit in rows:
        print("  {:<{w}}  {:>12.3f} {}".format(label, value, unit, w=width))
