"""The installed distribution's metadata names the interpreters it runs on and
the changelog's newest release as its version; its modules import where
warnings are errors."""
import email
import glob
import os
import re
import subprocess
import sys
import tempfile

import pytest

import ombrix_sdk


def _metadata():
    site = os.path.dirname(os.path.dirname(os.path.abspath(ombrix_sdk.__file__)))
    found = glob.glob(os.path.join(site, "ombrix_sdk-*.dist-info", "METADATA"))
    assert len(found) == 1, found
    with open(found[0], encoding="utf-8") as f:
        return email.message_from_file(f)


def test_the_running_interpreter_is_a_listed_one():
    meta = _metadata()
    version = "%d.%d" % sys.version_info[:2]
    classifiers = meta.get_all("Classifier") or []
    assert "Programming Language :: Python :: " + version in classifiers, classifiers
    listed = sorted(
        tuple(int(n) for n in c.rsplit(" ", 1)[1].split("."))
        for c in classifiers
        if c.startswith("Programming Language :: Python :: 3.")
    )
    # one classifier per minor version from the oldest supported one on
    assert listed == [(3, minor) for minor in range(7, listed[-1][1] + 1)], listed
    assert meta["Requires-Python"] == ">=3.7"


def test_the_version_is_the_changelogs_newest_release():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "CHANGELOG.md"), encoding="utf-8") as f:
        sections = re.findall(r"^## \[([^\]]+)\]", f.read(), re.M)
    assert sections[0] == "Unreleased", sections
    releases = [tuple(int(n) for n in v.split(".")) for v in sections[1:]]
    assert releases == sorted(set(releases), reverse=True), sections  # newest first
    assert _metadata()["Version"] == sections[1]


@pytest.mark.parametrize("module", ["ombrix_sdk.structures.tideq", "ombrix_sdk.roi.zone_warden",
                                    "ombrix_sdk.model.fetch"])
def test_a_module_imports_where_warnings_are_errors(module):
    # the functions' type keeps the member that gives each function its module
    code = ("import %s as m, types\n"
            "found = list(vars(m).values())\n"
            "found += [v for c in found if isinstance(c, type) for v in vars(c).values()]\n"
            "f = next(v for v in found if type(v).__name__ == 'native_function')\n"
            "print(f.__module__, isinstance(vars(type(f))['__module__'], "
            "types.MemberDescriptorType))" % module)
    proc = subprocess.run([sys.executable, "-W", "error", "-c", code], cwd=tempfile.gettempdir(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, module + " True\n", "")
