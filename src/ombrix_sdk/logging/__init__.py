"""Logging for the Ombrix SDK.

Every SDK component asks for its logger with ``get_logger(label)``.  All of
these loggers are children of one package logger, ``ombrix_sdk``, which owns
the only handler:

* records are written to the process's current ``sys.stderr`` in the format
  ``"%(asctime)s %(levelname)s [%(name)s] %(message)s"``, for example
  ``2024-05-01 12:00:00,123 WARNING [ombrix_sdk.MODEL] Token file missing``;
* the level comes from the environment variable ``OMBRIX_LOG_LEVEL`` (a level
  name such as ``DEBUG`` or ``warning``, or a number), read when the package
  is first imported; anything missing or unrecognised means ``INFO``;
* the package logger does not propagate to the root logger, so an application
  that configures the root logger does not see every SDK line twice.  An
  application that wants SDK records in its own handlers can reconfigure
  ``logging.getLogger("ombrix_sdk")`` (remove the handler, enable
  ``propagate``).

``exception_traceback(logger, exc)`` records an exception together with its
traceback at ERROR level.  Neither function ever raises: both are called
from failure handlers, where a second error would hide the first one.
"""

import logging as _logging
import os as _os
import sys as _sys
import threading as _threading
import traceback as _traceback

__all__ = ["get_logger", "exception_traceback"]

_ROOT_NAME = "ombrix_sdk"
_LEVEL_ENV = "OMBRIX_LOG_LEVEL"
_FORMAT = "%(asctime)s %(levelname)s [%(name)s] %(message)s"

_setup_lock = _threading.Lock()


class _StderrHandler(_logging.StreamHandler):
    """Stream handler that writes to whatever ``sys.stderr`` is at emit time.

    Binding the stream at creation would keep writing to a replaced or
    closed stream (test capture, daemonised processes); looking it up on
    every record avoids that.
    """

    # Marks the handler as ours, so that a reload of this package recognises
    # an existing handler instead of adding a second one.
    _ombrix_sdk_handler = True

    def __init__(self):
        _logging.Handler.__init__(self)

    @property
    def stream(self):
        return _sys.stderr


def _level_from_env():
    """Return the level named by ``OMBRIX_LOG_LEVEL``; ``INFO`` if unusable."""
    raw = _os.environ.get(_LEVEL_ENV, "").strip()
    if not raw:
        return _logging.INFO
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = _logging.getLevelName(raw.upper())
    # getLevelName answers "Level FOO" for names it does not know.
    if isinstance(level, int):
        return level
    return _logging.INFO


def _root_logger():
    """Return the package logger, attaching its handler exactly once."""
    root = _logging.getLogger(_ROOT_NAME)
    with _setup_lock:
        if not any(getattr(h, "_ombrix_sdk_handler", False) for h in root.handlers):
            handler = _StderrHandler()
            handler.setFormatter(_logging.Formatter(_FORMAT))
            root.addHandler(handler)
            root.setLevel(_level_from_env())
            root.propagate = False
    return root


def get_logger(name):
    """Return the logger for the SDK component labelled ``name``.

    The label is used verbatim as the last part of the logger name
    (``get_logger("MODEL")`` is ``ombrix_sdk.MODEL``), so the same label
    always yields the same ``logging.Logger``.  A label that is not a string
    is converted with ``str``.  Never raises: should anything go wrong, the
    package logger itself is returned.
    """
    try:
        root = _root_logger()
    except Exception:
        return _logging.getLogger(_ROOT_NAME)
    try:
        if not isinstance(name, str):
            name = str(name)
        return _logging.getLogger(_ROOT_NAME + "." + name)
    except Exception:
        return root


def _describe(exc):
    """Render ``exc`` like the interpreter does for an uncaught exception."""
    try:
        if isinstance(exc, BaseException):
            lines = _traceback.format_exception(type(exc), exc, exc.__traceback__)
            return "".join(lines).rstrip("\n")
    except Exception:
        pass
    # Not an exception, or it could not be formatted: say what it is.
    try:
        return "Exception (no traceback available): %r" % (exc,)
    except Exception:
        return "Exception (no traceback available): <unprintable %s object>" % (
            type(exc).__name__,
        )


def exception_traceback(logger, e):
    """Record ``e`` and its traceback at ERROR level through ``logger``.

    ``logger`` is normally one returned by ``get_logger``; any object with an
    ``error`` method taking one string works.  When that logger fails, the
    record goes to the package logger instead.  Never raises and returns
    ``None``.
    """
    try:
        text = _describe(e)
    except Exception:
        return None
    try:
        logger.error(text)
        return None
    except Exception:
        pass
    try:
        _root_logger().error(text)
    except Exception:
        pass
    return None
