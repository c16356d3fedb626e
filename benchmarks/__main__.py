"""Every benchmark of the SDK in one go, printed as one table.

    python -m benchmarks                 # from the repository root
    python -m benchmarks tideq fetch     # only some of them

Each benchmark module (benchmarks/bench_<module>.py) has a ``run()`` that
returns rows of (label, value, unit); a unit of "x" marks a ratio, and a
label "A / B" says what was divided by what.  The table is Markdown, headed by the machine, the
Python version and the date, so that it can go into the README as printed.
A benchmark whose module is missing or cannot be imported (for example an
extension module that is not built) gets a line saying so; one that fails
while running is reported with its traceback on stderr and makes the exit
status 1.
"""
import argparse
import datetime
import importlib
import os
import platform
import sys
import time
import traceback

BENCHMARKS = [
    ("tideq", "benchmarks.bench_tideq"),
    ("zone_warden", "benchmarks.bench_zone_warden"),
    ("fetch", "benchmarks.bench_fetch"),
]


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.lower().startswith(("model name", "hardware", "cpu model")):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def _sdk_version():
    try:
        from importlib import metadata  # Python 3.8+
    except ImportError:
        try:
            import pkg_resources
            return pkg_resources.get_distribution("ombrix-sdk").version
        except Exception:
            return "not installed"
    try:
        return metadata.version("ombrix-sdk")
    except Exception:
        return "not installed"


def header():
    now = datetime.datetime.now(datetime.timezone.utc)
    return [
        "machine: %s, %s, %d CPUs, %s %s" % (
            platform.machine(), _cpu_model(), os.cpu_count() or 0,
            platform.system(), platform.release()),
        "Python:  %s %s" % (platform.python_implementation(), platform.python_version()),
        "SDK:     ombrix-sdk %s" % _sdk_version(),
        "date:    %s" % now.strftime("%Y-%m-%d %H:%M UTC"),
    ]


def _format(value, unit):
    if not isinstance(value, (int, float)):
        return "%s %s" % (value, unit)
    magnitude = abs(value)
    text = "%.0f" % value if magnitude >= 100 else "%.1f" % value if magnitude >= 10 else "%.2f" % value
    return text + ("x" if unit == "x" else " " + unit)


def _escape(text):
    return str(text).replace("|", "\\|")


def main(argv=None):
    names = [name for name, _ in BENCHMARKS]
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__.split("\n\n")[0])
    parser.add_argument("only", nargs="*", metavar="NAME",
                        help="benchmarks to run (default: all of %s)" % ", ".join(names))
    args = parser.parse_args(argv)
    unknown = [n for n in args.only if n not in names]
    if unknown:
        parser.error("unknown benchmark %s (choose from %s)" % (", ".join(unknown), ", ".join(names)))
    selected = [(n, m) for n, m in BENCHMARKS if not args.only or n in args.only]

    rows, notes, failed = [], [], False
    for name, module_name in selected:
        print("running %s ..." % name, file=sys.stderr, flush=True)
        try:
            module = importlib.import_module(module_name)
        except ImportError as e:
            if getattr(e, "name", None) == module_name:
                reason = "no benchmark module %s.py yet" % module_name.replace(".", "/")
            else:
                reason = "cannot import it: %s" % e
            rows.append((name, "not run: " + reason, ""))
            continue
        started = time.perf_counter()
        try:
            result = list(module.run())
        except Exception:
            traceback.print_exc()
            rows.append((name, "FAILED while running (traceback on stderr)", ""))
            failed = True
            continue
        notes.append("%s %.0f s" % (name, time.perf_counter() - started))
        malformed = [r for r in result if not (isinstance(r, (tuple, list)) and len(r) == 3)]
        if malformed:
            print("%s: run() must return (label, value, unit) rows; got %r" % (name, malformed[0]),
                  file=sys.stderr)
            rows.append((name, "FAILED: run() returned rows that are not (label, value, unit)", ""))
            failed = True
            continue
        for label, value, unit in result:
            rows.append((name, label, _format(value, unit)))

    print()
    for line in header():
        print(line + "  ")
    print()
    print("| module | measurement | result |")
    print("|---|---|---:|")
    for name, label, value in rows:
        print("| %s | %s | %s |" % (_escape(name), _escape(label), _escape(value)))
    print()
    print("A row \"A / B\" is A's figure divided by B's (times, unless the label says "
          "otherwise), so above 1 means B is faster; goals, where set, are in the label. "
          "Run time: %s." % (", ".join(notes) or "-"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
