"""Loggers and exception recording of ombrix_sdk.logging."""

import contextlib
import logging
import os
import re
import subprocess
import sys
import textwrap

import pytest

import ombrix_sdk
import ombrix_sdk.logging as sdk_logging
from ombrix_sdk.logging import exception_traceback, get_logger

LABELS = ["MODEL", "ZoneWarden", "RQ: "]
LINE_RE = (
    r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (?P<level>[A-Z]+) "
    r"\[(?P<name>[^\]]+)\] (?P<message>.*)"
)


class _Capture(logging.Handler):
    """Keeps the records that reach the loggers it is attached to."""

    def __init__(self):
        logging.Handler.__init__(self, logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    @contextlib.contextmanager
    def at_level(self, level, logger):
        target = logging.getLogger(logger)
        old = target.level
        target.setLevel(level)
        try:
            yield
        finally:
            target.setLevel(old)


@pytest.fixture
def capture():
    """Attach a recording handler to loggers that do not propagate."""
    handler = _Capture()
    attached = []

    def attach(logger):
        logger.addHandler(handler)
        attached.append(logger)
        return handler

    yield attach
    for logger in attached:
        logger.removeHandler(handler)


def _run(code, **env_overrides):
    """Run ``code`` in a fresh interpreter; return its stderr text."""
    env = dict(os.environ)
    env.pop("OMBRIX_LOG_LEVEL", None)
    env.update(env_overrides)
    package_parent = os.path.dirname(os.path.dirname(ombrix_sdk.__file__))
    env["PYTHONPATH"] = package_parent + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stderr


# --- get_logger -------------------------------------------------------------


@pytest.mark.parametrize("label", LABELS)
def test_get_logger_returns_usable_logger(label, capture):
    logger = get_logger(label)
    assert isinstance(logger, logging.Logger)
    assert get_logger(label) is logger
    caplog = capture(logger)
    with caplog.at_level(logging.INFO, logger=logger.name):
        assert logger.info("value " + label) is None
        assert logger.warning("careful " + label) is None
    got = [
        (r.levelno, r.getMessage()) for r in caplog.records if r.name == logger.name
    ]
    assert got == [(logging.INFO, "value " + label), (logging.WARNING, "careful " + label)]


def test_labels_give_distinct_loggers():
    loggers = [get_logger(label) for label in LABELS]
    assert len({id(lg) for lg in loggers}) == len(LABELS)
    for label, logger in zip(LABELS, loggers):
        assert logger.name.endswith(label)


@pytest.mark.parametrize("label", [None, 42, "", "a.b", object()])
def test_get_logger_never_raises(label):
    logger = get_logger(label)
    assert isinstance(logger, logging.Logger)


def test_module_namespace_is_small():
    public = {n for n in vars(sdk_logging) if not n.startswith("_")}
    # The identifier submodule becomes a package attribute once imported.
    assert public - {"log_id"} == {"get_logger", "exception_traceback"}


@pytest.mark.parametrize(
    "env_level, expect_info, expect_warning",
    [
        (None, True, True),
        ("INFO", True, True),
        ("warning", False, True),
        ("ERROR", False, False),
        ("10", True, True),
        ("40", False, False),
        ("not-a-level", True, True),
        ("", True, True),
    ],
)
def test_level_and_format_from_environment(env_level, expect_info, expect_warning):
    env = {} if env_level is None else {"OMBRIX_LOG_LEVEL": env_level}
    err = _run(
        """
        from ombrix_sdk.logging import get_logger
        log = get_logger("MODEL")
        log.debug("dbg line")
        log.info("info line")
        log.warning("warn line")
        """,
        **env
    )
    lines = [ln for ln in err.splitlines() if ln]
    matches = [re.fullmatch(LINE_RE, ln) for ln in lines]
    assert all(matches), lines
    expected = []
    if expect_info:
        expected.append(("INFO", "info line"))
    if expect_warning:
        expected.append(("WARNING", "warn line"))
    if env_level == "10":
        expected.insert(0, ("DEBUG", "dbg line"))
    assert [(m.group("level"), m.group("message")) for m in matches] == expected
    for m in matches:
        assert m.group("name").endswith("MODEL")


def test_no_duplicate_lines_after_repeated_setup():
    err = _run(
        """
        import importlib, logging
        logging.basicConfig(level=logging.INFO)  # application's own root handler
        import ombrix_sdk.logging as sdk_logging
        for _ in range(3):
            sdk_logging.get_logger("RQ: ")
        importlib.reload(sdk_logging)
        sdk_logging.get_logger("RQ: ").warning("Throwing away element")
        """
    )
    lines = [ln for ln in err.splitlines() if "Throwing away element" in ln]
    assert len(lines) == 1, err
    assert re.fullmatch(LINE_RE, lines[0])


def test_handler_follows_replaced_stderr(capsys):
    logger = get_logger("stderr-check")
    logger.warning("to current stderr")
    err = capsys.readouterr().err
    assert "to current stderr" in err
    assert "[" + logger.name + "]" in err


# --- exception_traceback ----------------------------------------------------


def _raise_inner(message):
    raise ValueError(message)


def _raise_outer(message):
    _raise_inner(message)


def _caught(exc_factory):
    try:
        exc_factory()
    except Exception as exc:  # noqa: BLE001 - the test needs any exception
        return exc
    raise AssertionError("factory did not raise")


@pytest.mark.parametrize(
    "factory, type_name, text, frames",
    [
        (lambda: _raise_outer("bad polygon"), "ValueError", "bad polygon",
         ["_raise_outer", "_raise_inner"]),
        (lambda: {}["roi_id"], "KeyError", "'roi_id'", []),
        (lambda: 1 / 0, "ZeroDivisionError", "division by zero", []),
    ],
)
def test_exception_traceback_records_traceback(factory, type_name, text, frames, capture):
    logger = get_logger("ZoneWarden")
    caplog = capture(logger)
    exc = _caught(factory)
    assert exception_traceback(logger, exc) is None
    records = [r for r in caplog.records if r.name == logger.name]
    assert len(records) == 1
    record = records[0]
    assert record.levelno == logging.ERROR
    message = record.getMessage()
    assert message.startswith("Traceback (most recent call last):")
    assert message.rstrip().endswith(type_name + ": " + text)
    assert os.path.basename(__file__) in message
    # Every frame between the handler and the raise is in the traceback.
    for frame in ["_caught"] + frames:
        assert "in " + frame in message


def test_exception_traceback_chained_exception(capture):
    logger = get_logger("ZoneWarden")
    caplog = capture(logger)

    def chained():
        try:
            _raise_inner("root cause")
        except ValueError as inner:
            raise RuntimeError("wrapper") from inner

    exception_traceback(logger, _caught(chained))
    message = caplog.records[-1].getMessage()
    assert "ValueError: root cause" in message
    assert "RuntimeError: wrapper" in message
    assert message.index("root cause") < message.index("wrapper")


@pytest.mark.parametrize(
    "exc, expected",
    [
        (ValueError("never raised"), "ValueError: never raised"),
        ("not an exception", "'not an exception'"),
        (None, "None"),
    ],
)
def test_exception_traceback_without_traceback(exc, expected, capture):
    logger = get_logger("ZoneWarden")
    caplog = capture(logger)
    assert exception_traceback(logger, exc) is None
    records = [r for r in caplog.records if r.name == logger.name]
    assert len(records) == 1
    assert records[0].levelno == logging.ERROR
    assert expected in records[0].getMessage()


class _RaisingLogger(object):
    def __init__(self, error):
        self._error = error
        self.calls = 0

    def error(self, *args, **kwargs):
        self.calls += 1
        raise self._error


class _Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("cannot print")

    def __repr__(self):
        raise RuntimeError("cannot repr")


@pytest.mark.parametrize(
    "make_logger",
    [
        lambda: _RaisingLogger(RuntimeError("logger down")),
        lambda: _RaisingLogger(TypeError("bad call")),
        lambda: None,
        object,
        lambda: "not a logger",
    ],
)
def test_exception_traceback_survives_broken_logger(make_logger, capture):
    broken_logger = make_logger()
    root = logging.getLogger("ombrix_sdk")
    caplog = capture(root)
    exc = _caught(lambda: _raise_outer("lost frame"))
    assert exception_traceback(broken_logger, exc) is None
    if isinstance(broken_logger, _RaisingLogger):
        assert broken_logger.calls == 1
    # The traceback is not lost: it falls back to the SDK's own logger.
    fallback = [r for r in caplog.records if r.name == "ombrix_sdk"]
    assert len(fallback) == 1
    assert fallback[0].getMessage().rstrip().endswith("ValueError: lost frame")


class _NoRepr(object):
    def __repr__(self):
        raise RuntimeError("cannot repr")


def _raise_unprintable():
    raise _Unprintable()


@pytest.mark.parametrize(
    "exc_factory",
    [lambda: _caught(_raise_unprintable), _Unprintable, _NoRepr],
)
def test_exception_traceback_survives_unprintable_objects(exc_factory, capture):
    logger = get_logger("ZoneWarden")
    caplog = capture(logger)
    exc = exc_factory()
    assert exception_traceback(logger, exc) is None
    records = [r for r in caplog.records if r.name == logger.name]
    assert len(records) == 1
    assert type(exc).__name__ in records[0].getMessage()


def test_exception_traceback_unprintable_and_broken_logger():
    broken = _RaisingLogger(RuntimeError("logger down"))
    assert exception_traceback(broken, _caught(_raise_unprintable)) is None
    assert broken.calls == 1
