"""Drop-oldest rolling queue with a bulk drain."""

import logging
import queue as queue
from typing import Any as Any, Callable, List, Optional, TypeVar, overload

from ombrix_sdk.logging import get_logger as get_logger

_R = TypeVar("_R")

class TideQueue(queue.Queue[Any]):
    """A bounded FIFO whose ``put`` never waits: when the queue is full the
    oldest item is thrown away to make room for the new one."""

    debug: Any
    # Present only when the queue was built with a true ``debug``.
    logger: logging.Logger
    def __init__(self, batch_size: int, debug: Any = False) -> None: ...
    def put(
        self, item: Any, block: bool = True, timeout: Optional[float] = None
    ) -> None: ...
    @overload
    def drain_fast(
        self, max_items: int, *, adjust_unfinished: Any = True
    ) -> List[Any]: ...
    @overload
    def drain_fast(
        self,
        max_items: int,
        *,
        dest_factory: Callable[[List[Any]], _R],
        adjust_unfinished: Any = True,
    ) -> _R: ...
