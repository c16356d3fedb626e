"""Identifiers for correlating log lines across devices, sources and runs.

A ``LogIDGenerator`` belongs to one video source on one node and hands out
three kinds of identifier (``node8`` is the first 8 characters of the node
id, or all of it when shorter; ``src`` is the source index in decimal):

* session id ``SES-<node8>-<src>-<rand8>``: one per run, ``rand8`` being
  8 random lower-case hexadecimal characters; generated once and cached;
* event id ``EVT-<type>-<node8>-<src>-<n>``, ``type`` from ``EventType``;
* error id ``ERR-<type>-<node8>-<src>-<n>``, ``type`` from ``ErrorType``.

Events and errors are numbered by two separate counters, each starting at 1.
A generator may be shared between threads.
"""

import threading
import uuid
from enum import Enum

__all__ = ["LogIDGenerator", "EventType", "ErrorType"]

_NODE_CHARS = 8
_RANDOM_CHARS = 8


class EventType(str, Enum):
    """Kinds of event; the value is the text that appears in the id."""

    GENERIC = "EVT"
    START = "START"
    STOP = "STOP"
    FRAME = "FRAME"
    DETECTION = "DET"
    MODEL_LOAD = "MODEL"
    CONFIG_UPDATE = "CONFIG"


class ErrorType(str, Enum):
    """Kinds of error; the value is the text that appears in the id."""

    GENERAL = "GEN"
    FRAME_CAPTURE = "FRAME"
    INFERENCE = "INFER"
    MODEL_LOAD = "MODEL"
    NETWORK = "NET"
    STORAGE = "IO"
    CONFIG = "CONFIG"


def _type_text(kind):
    """Text of an ``EventType``/``ErrorType`` member, or of a plain string.

    ``str(member)`` would give ``"EventType.START"``, hence the ``value``.
    """
    if isinstance(kind, Enum):
        return str(kind.value)
    return str(kind)


class LogIDGenerator(object):
    """Session, event and error identifiers for one source on one node."""

    def __init__(self, node_id, source_idx):
        if not isinstance(node_id, str):
            raise TypeError("node_id must be a str, got %s" % type(node_id).__name__)
        if isinstance(source_idx, bool) or not isinstance(source_idx, int):
            raise TypeError(
                "source_idx must be an int, got %s" % type(source_idx).__name__
            )
        if source_idx < 0:
            raise ValueError("source_idx must not be negative, got %d" % source_idx)
        self.node_id = node_id
        self.source_idx = source_idx
        # "<node8>-<src>", the part shared by every identifier.
        self._origin = "%s-%d" % (node_id[:_NODE_CHARS], source_idx)
        self._lock = threading.Lock()
        self._session_id = None
        self._event_counter = 0
        self._error_counter = 0

    def generate_session_id(self, force=False):
        """Return the session id, creating it on first use.

        With ``force=True`` a new id, different from the current one, replaces
        the cached id.
        """
        with self._lock:
            if self._session_id is None or force:
                previous = self._session_id
                while True:
                    session_id = "SES-%s-%s" % (
                        self._origin,
                        uuid.uuid4().hex[:_RANDOM_CHARS],
                    )
                    if session_id != previous:
                        break
                self._session_id = session_id
            return self._session_id

    def get_session_id(self):
        """Return the cached session id, or ``None`` before one was generated."""
        return self._session_id

    def generate_event_id(self, event_type=EventType.GENERIC):
        """Return the next event id, e.g. ``EVT-START-abcdef12-2-1``."""
        with self._lock:
            self._event_counter += 1
            number = self._event_counter
        return "EVT-%s-%s-%d" % (_type_text(event_type), self._origin, number)

    def generate_error_id(self, error_type=ErrorType.GENERAL):
        """Return the next error id, e.g. ``ERR-FRAME-abcdef12-2-1``."""
        with self._lock:
            self._error_counter += 1
            number = self._error_counter
        return "ERR-%s-%s-%d" % (_type_text(error_type), self._origin, number)

    @staticmethod
    def format_log_with_id(message, log_id):
        """Prefix ``message`` with ``[log_id] ``."""
        return "[{}] {}".format(log_id, message)

    def format_log_with_session(self, message):
        """Prefix ``message`` with ``[session id] `` once a session id exists."""
        session_id = self._session_id
        if session_id is None:
            return message
        return "[{}] {}".format(session_id, message)
