import logging
from typing import Any

__all__ = ["get_logger", "exception_traceback"]

def get_logger(name: object) -> logging.Logger: ...
def exception_traceback(logger: Any, e: object) -> None: ...
