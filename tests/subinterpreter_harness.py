"""Code that runs a program in a new sub-interpreter of the process it is
pasted into (the tests start a fresh process for each scenario)."""

# Runs code in a new sub-interpreter: "isolated" ones have a GIL of their
# own (3.12 on), "legacy" ones share the main one. Whatever the code writes
# to `out` comes back.
HARNESS = '''
import os, sys, tempfile, threading

def in_interpreter(kind, code):
    fd, path = tempfile.mkstemp()
    os.close(fd)
    code = "out = open(%r, 'w')\\n" % path + code + "\\nout.close()\\n"
    try:
        if kind == "legacy":
            import _testcapi
            assert _testcapi.run_in_subinterp(code) == 0, "the code failed"
        else:
            try:
                from concurrent import interpreters      # 3.14 on
                interp = interpreters.create()
                try:
                    interp.exec(code)
                finally:
                    interp.close()
            except ImportError:
                try:
                    import _interpreters as xi           # 3.13
                    run = xi.exec
                except ImportError:
                    import _xxsubinterpreters as xi      # 3.12
                    run = xi.run_string
                iid = xi.create()
                try:
                    failure = run(iid, code)
                    assert failure is None, failure
                finally:
                    xi.destroy(iid)
        with open(path) as f:
            return f.read()
    finally:
        os.unlink(path)
'''
