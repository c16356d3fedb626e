import os
import sys

# The plain-Python reference implementations live beside the benchmarks; the
# package under test itself always comes from the installed distribution.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.append(ROOT)

_src = os.path.join(ROOT, "src")
if any(os.path.abspath(p or os.curdir) == _src for p in sys.path):
    raise RuntimeError("tests must run against the installed package, not src/")
