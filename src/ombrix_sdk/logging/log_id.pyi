from enum import Enum
from typing import Optional, Union

__all__ = ["LogIDGenerator", "EventType", "ErrorType"]

class EventType(str, Enum):
    GENERIC = "EVT"
    START = "START"
    STOP = "STOP"
    FRAME = "FRAME"
    DETECTION = "DET"
    MODEL_LOAD = "MODEL"
    CONFIG_UPDATE = "CONFIG"

class ErrorType(str, Enum):
    GENERAL = "GEN"
    FRAME_CAPTURE = "FRAME"
    INFERENCE = "INFER"
    MODEL_LOAD = "MODEL"
    NETWORK = "NET"
    STORAGE = "IO"
    CONFIG = "CONFIG"

class LogIDGenerator:
    node_id: str
    source_idx: int
    def __init__(self, node_id: str, source_idx: int) -> None: ...
    def generate_session_id(self, force: bool = False) -> str: ...
    def get_session_id(self) -> Optional[str]: ...
    def generate_event_id(
        self, event_type: Union[EventType, str] = ...
    ) -> str: ...
    def generate_error_id(
        self, error_type: Union[ErrorType, str] = ...
    ) -> str: ...
    @staticmethod
    def format_log_with_id(message: object, log_id: object) -> str: ...
    def format_log_with_session(self, message: str) -> str: ...
