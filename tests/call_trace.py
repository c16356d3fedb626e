"""Which functions written in Python a call runs."""
import os
import sys


def python_calls(fn):
    """The functions written in Python that `fn` runs, by module file."""
    calls = []

    def profile(frame, event, arg):
        if event == "call":
            calls.append(os.path.basename(frame.f_code.co_filename))

    sys.setprofile(profile)
    try:
        fn()
    finally:
        sys.setprofile(None)
    return calls
