"""Every benchmark of the SDK in one go, printed as one table.

    python -m benchmarks                 # from the repository root
    python -m benchmarks tideq fetch     # only some of them
    python -m benchmarks --here          # only in the running interpreter

By default the table has one column per interpreter: for each of
OMBRIX_BENCH_PYTHONS (default "3.7 3.11 3.13 3.14 3.15") that is found, the
SDK is installed into .venv/bench-X.Y (OMBRIX_VENV_DIR moves it) and the
benchmarks run there, each interpreter in its own process. The interpreters
of OMBRIX_CHROOT_PYTHONS (default "3.14 3.15") are those of the Debian
unstable root file system that scripts/sid-chroot makes or reuses.
OMBRIX_BENCH_RUNNERS adds interpreters that are reached through a command
prefix, as "LABEL=COMMAND" entries separated by ";" (for example
"3.14t=/opt/py314t/bin/python"): the command, given "-m benchmarks --here
--json NAME...", must run this directory's benchmarks in an interpreter that
has the SDK installed.

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
import glob
import importlib
import json
import os
import platform
import shlex
import subprocess
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


def run_here(selected):
    """Runs the benchmarks in this interpreter: (rows, notes, failed)."""
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
    return rows, notes, failed


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _find_python(version):
    """The path of a CPython X.Y interpreter with venv, or None."""
    candidates = ["python" + version]
    candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/%s*/bin/python%s" % (version, version))))
    candidates += ["/usr/bin/python" + version, "/usr/local/bin/python" + version]
    for c in candidates:
        try:
            subprocess.run([c, "-c", "import venv"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            return c
        except (OSError, subprocess.CalledProcessError):
            continue
    return None


def _prepare_venv(version, python):
    """A virtual environment for `version` with the SDK from this tree installed."""
    venvs = os.environ.get("OMBRIX_VENV_DIR") or os.path.join(ROOT, ".venv")
    env_dir = os.path.join(venvs, "bench-" + version)
    exe = os.path.join(env_dir, "bin", "python")
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, universal_newlines=True)
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    steps = []
    if not os.path.exists(exe):
        steps.append([python, "-m", "venv", env_dir])
        steps.append([exe, "-m", "pip", "install", "-q", "--upgrade", "pip"])
    steps.append([exe, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", ROOT])
    steps.append([exe, "-m", "pip", "install", "-q", ROOT])
    for step in steps:
        proc = subprocess.run(step, env=env, **quiet)
        if proc.returncode != 0:
            raise RuntimeError("%s failed:\n%s" % (" ".join(step), proc.stderr[-2000:]))
    return [exe]


def _run_in(command, names):
    """Runs the benchmarks through `command` (a list); its JSON result."""
    proc = subprocess.run(command + ["-m", "benchmarks", "--here", "--json"] + names, cwd=ROOT,
                          stdout=subprocess.PIPE, universal_newlines=True)
    lines = proc.stdout.strip().splitlines()
    if not lines:
        raise RuntimeError("no result (exit status %d)" % proc.returncode)
    return json.loads(lines[-1])


def interpreters():
    """(label, how to get a command) for every interpreter to benchmark."""
    found = []
    in_chroot = os.environ.get("OMBRIX_CHROOT_PYTHONS", "3.14 3.15").split()
    for version in os.environ.get("OMBRIX_BENCH_PYTHONS", "3.7 3.11 3.13 3.14 3.15").split():
        if version in in_chroot:
            found.append((version, lambda v=version: _chroot_command(v)))
        else:
            found.append((version, lambda v=version: _local_command(v)))
    for entry in os.environ.get("OMBRIX_BENCH_RUNNERS", "").split(";"):
        if entry.strip():
            label, _, command = entry.partition("=")
            found.append((label.strip(), lambda c=command: shlex.split(c)))
    return found


def _chroot_command(version):
    """The interpreter of the Debian unstable root file system (scripts/sid-chroot)."""
    sid = os.path.join(ROOT, "scripts", "sid-chroot")
    proc = subprocess.run([sid, "build"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          universal_newlines=True)
    if proc.returncode != 0:
        raise RuntimeError("no Debian unstable root file system: %s" % proc.stderr.strip()[-500:])
    return [sid, "run", "--venv", "bench", "--install", ROOT, version, "--", "python"]


def _local_command(version):
    python = _find_python(version)
    if python is None:
        raise RuntimeError("no interpreter python%s on this machine" % version)
    return _prepare_venv(version, python)


def run_everywhere(names):
    columns, results, failed = [], [], False
    for label, command in interpreters():
        print("== Python %s ..." % label, file=sys.stderr, flush=True)
        try:
            result = _run_in(command(), names)
        except Exception as e:
            print("== Python %s: not run: %s" % (label, e), file=sys.stderr, flush=True)
            continue
        columns.append(label)
        results.append(result)
        failed = failed or result["failed"]
    if not columns:
        print("no interpreter ran the benchmarks", file=sys.stderr)
        return 1
    keys = []
    for result in results:
        for name, label, _ in result["rows"]:
            if (name, label) not in keys:
                keys.append((name, label))
    print()
    print(header()[0] + "  ")
    for column, result in zip(columns, results):
        print("%s: %s  " % (column, result["python"]))
    print("SDK:     ombrix-sdk from this tree, installed into each environment  ")
    print(header()[3] + "  ")
    print()
    print("| module | measurement | %s |" % " | ".join("Python " + c for c in columns))
    print("|---|---|%s" % ("---:|" * len(columns)))
    for name, label in keys:
        cells = []
        for result in results:
            cells.append(next((v for n, l, v in result["rows"] if (n, l) == (name, label)), "-"))
        print("| %s | %s | %s |" % (_escape(name), _escape(label), " | ".join(_escape(c) for c in cells)))
    print()
    print("A row \"A / B\" is A's figure divided by B's (times, unless the label says "
          "otherwise), so above 1 means B is faster; goals, where set, are in the label. "
          "Run time: %s." % "; ".join("%s: %s" % (c, ", ".join(r["notes"]) or "-")
                                       for c, r in zip(columns, results)))
    return 1 if failed else 0


def main(argv=None):
    names = [name for name, _ in BENCHMARKS]
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__.split("\n\n")[0])
    parser.add_argument("only", nargs="*", metavar="NAME",
                        help="benchmarks to run (default: all of %s)" % ", ".join(names))
    parser.add_argument("--here", action="store_true",
                        help="run only in this interpreter, with the SDK installed in it")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    unknown = [n for n in args.only if n not in names]
    if unknown:
        parser.error("unknown benchmark %s (choose from %s)" % (", ".join(unknown), ", ".join(names)))
    selected = [(n, m) for n, m in BENCHMARKS if not args.only or n in args.only]
    if not args.here:
        return run_everywhere([n for n, _ in selected])

    rows, notes, failed = run_here(selected)
    if args.json:
        print(json.dumps({"python": "%s %s" % (platform.python_implementation(),
                                               platform.python_version()),
                          "rows": rows, "notes": notes, "failed": failed}))
        return 1 if failed else 0
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
