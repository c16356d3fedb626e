"""Small timing helpers shared by the benchmark scripts."""
import os
import re
import shutil
import subprocess
import sys
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


# Collections and hash seeds would move the counts from run to run: off.
_LOOP = """
import gc, sys
gc.disable()
{setup}
def loop(n, step=step):
    for i in range(n):
        step(i)
loop(int(sys.argv[1]))
"""


def instructions_per_call(setup, calls=20000):
    """Instructions the interpreter runs per call of `step(i)`, a function
    that `setup` (module-level code) defines, counted by valgrind's callgrind
    over `calls` calls less a run of none: a figure that the machine's load
    does not move, unlike a time. None where valgrind is missing."""
    if not shutil.which("valgrind"):
        return None
    script = _LOOP.format(setup=setup)

    def collected(n):
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, "-c", script, str(n)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, check=True,
            env=dict(os.environ, PYTHONHASHSEED="0"))
        return int(re.search(r"Collected : (\d+)", run.stderr).group(1))

    return (collected(calls) - collected(0)) / calls
