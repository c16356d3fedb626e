"""scripts/check-wheel, the gate every binary wheel passes before release:
a wheel assembled from the installed modules passes, and each fault it exists
to catch is reported."""
import importlib.machinery
import importlib.util
import os
import platform
import sys
import zipfile

import pytest

from ombrix_sdk.model import fetch
from ombrix_sdk.roi import zone_warden
from ombrix_sdk.structures import tideq

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARCH = platform.machine()
ARCHS = ("x86_64", "aarch64", "armv7l")
OTHER_ARCHS = [a for a in ARCHS if a != ARCH]
PY = "cp%d%d" % sys.version_info[:2]
ABI = PY + ("m" if sys.version_info[:2] == (3, 7) else "")


def _suffix(arch):
    triplet = "arm-linux-gnueabihf" if arch == "armv7l" else arch + "-linux-gnu"
    return ".cpython-%s-%s.so" % (ABI[2:], triplet)


SUFFIX = _suffix(ARCH)
GOOD_NAME = "ombrix_sdk-0.1.0-%s-%s-manylinux2014_%s.manylinux_2_17_%s.whl" % (PY, ABI, ARCH, ARCH)



def _instrumented():
    """True for modules built with AddressSanitizer (scripts/run-asan), which
    are linked without the export list of release builds."""
    with open(tideq.__file__, "rb") as f:
        return b"__asan_init" in f.read()


pytestmark = [
    pytest.mark.skipif(
        ARCH not in ARCHS or not sys.platform.startswith("linux")
        or importlib.machinery.EXTENSION_SUFFIXES[0] != SUFFIX,
        reason="the binary wheels are for CPython on x86_64, aarch64 and armv7l Linux"),
    pytest.mark.skipif(_instrumented(), reason="an AddressSanitizer build is no release build"),
]


def _load_checker():
    path = os.path.join(ROOT, "scripts", "check-wheel")
    loader = importlib.machinery.SourceFileLoader("check_wheel", path)
    spec = importlib.util.spec_from_loader("check_wheel", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def checker():
    pytest.importorskip("elftools")
    return _load_checker()


def _modules():
    return {
        "ombrix_sdk/structures/tideq" + SUFFIX: tideq.__file__,
        "ombrix_sdk/roi/zone_warden" + SUFFIX: zone_warden.__file__,
        "ombrix_sdk/model/fetch" + SUFFIX: fetch.__file__,
    }


def _other_extension():
    """A shared object of this interpreter's that exports another init function."""
    spec = importlib.util.find_spec("_ctypes")
    if spec is None or not (spec.origin or "").endswith(".so"):
        pytest.skip("_ctypes is not a shared object here")
    return spec.origin


def _make(tmp_path, name, files):
    path = tmp_path / name
    with zipfile.ZipFile(str(path), "w") as z:
        for arcname, source in files.items():
            if isinstance(source, bytes):
                z.writestr(arcname, source)
            else:
                z.write(source, arcname)
        z.writestr("ombrix_sdk/__init__.py", b"")
        z.writestr("ombrix_sdk-0.1.0.dist-info/METADATA", b"Name: ombrix-sdk\n")
    return str(path)


def test_the_installed_modules_pass(checker, tmp_path):
    wheel = _make(tmp_path, GOOD_NAME, _modules())
    assert checker.check(wheel, PY, ABI, ARCH) == []


def _extra_export(files):
    files["ombrix_sdk/structures/tideq" + SUFFIX] = _other_extension()
    return "exports"


def _untagged_module(files):
    files["ombrix_sdk/roi/zone_warden.so"] = files.pop("ombrix_sdk/roi/zone_warden" + SUFFIX)
    return "extension modules"


def _source_file(files):
    files["ombrix_sdk/structures/tideq.cpp"] = b"int x;\n"
    return "source, test or build file"


def _tests_shipped(files):
    files["ombrix_sdk/tests/test_x.py"] = b""
    return "source, test or build file"


def _file_outside_the_package(files):
    files["helpers/x.py"] = b""
    return "file outside the package"


@pytest.mark.parametrize("fault", [_extra_export, _untagged_module, _source_file, _tests_shipped,
                                   _file_outside_the_package],
                         ids=lambda f: f.__name__.strip("_"))
def test_reports_a_faulty_wheel(checker, tmp_path, fault):
    files = _modules()
    expected = fault(files)
    faults = checker.check(_make(tmp_path, GOOD_NAME, files), PY, ABI, ARCH)
    assert faults and all(expected in f for f in faults), faults


@pytest.mark.parametrize("name", [
    GOOD_NAME.replace("manylinux2014_%s.manylinux_2_17_%s" % (ARCH, ARCH), "linux_" + ARCH),
    GOOD_NAME.replace("manylinux_2_17_" + ARCH, "manylinux_2_34_" + ARCH),
    GOOD_NAME.replace("-%s-%s-" % (PY, ABI), "-cp36-cp36m-"),
], ids=["not manylinux", "newer glibc", "other interpreter"])
def test_reports_a_wrong_file_name(checker, tmp_path, name):
    faults = checker.check(_make(tmp_path, name, _modules()), PY, ABI, ARCH)
    assert len(faults) == 1 and "file name" in faults[0], faults


@pytest.mark.parametrize("other", OTHER_ARCHS)
def test_reports_modules_built_for_another_cpu(checker, tmp_path, other):
    files = {k.replace(SUFFIX, _suffix(other)): v for k, v in _modules().items()}
    name = GOOD_NAME.replace(ARCH, other)
    faults = checker.check(_make(tmp_path, name, files), PY, ABI, other)
    assert len(faults) == 3 and all("is built for" in f for f in faults), faults


@pytest.mark.skipif(ARCH != "armv7l", reason="the modules here are no 32-bit ARM objects")
def test_reports_a_module_of_the_soft_float_abi(checker, tmp_path):
    files = _modules()
    name = "ombrix_sdk/roi/zone_warden" + SUFFIX
    with open(files[name], "rb") as f:
        data = bytearray(f.read())
    flags = int.from_bytes(data[0x24:0x28], "little")  # e_flags of an ELF32 header
    assert flags & checker.EF_ARM_ABI_FLOAT_HARD
    data[0x24:0x28] = (flags & ~checker.EF_ARM_ABI_FLOAT_HARD).to_bytes(4, "little")
    files[name] = bytes(data)
    faults = checker.check(_make(tmp_path, GOOD_NAME, files), PY, ABI, ARCH)
    assert len(faults) == 1 and "zone_warden" in faults[0] and "not hard-float" in faults[0], faults
