"""The rolling queue written plainly in Python.

It is the yardstick for the native TideQueue in the benchmarks and the oracle
it is compared with in the tests: same algorithm, same hooks, same lock.
"""
import queue

from ombrix_sdk.logging import get_logger


class PyTideQueue(queue.Queue):
    """Drop-oldest queue: put never blocks; a full queue loses its oldest item."""

    def __init__(self, batch_size, debug=False):
        super().__init__(maxsize=batch_size)
        self.debug = debug
        if debug:
            self.logger = get_logger("RQ: ")

    def put(self, item, block=True, timeout=None):
        with self.mutex:
            if self._qsize() == self.maxsize:
                if self.debug:
                    self.logger.warning("Throwing away element")
                self._get()
            self._put(item)
            self.unfinished_tasks += 1
            self.not_empty.notify()

    def drain_fast(self, max_items, *, dest_factory=list, adjust_unfinished=True):
        with self.mutex:
            n = min(max(max_items, 0), len(self.queue))
            items = [self.queue.popleft() for _ in range(n)]
            result = items if dest_factory is list else dest_factory(items)
            if adjust_unfinished and max_items >= 0 and self.unfinished_tasks:
                self.unfinished_tasks = max(self.unfinished_tasks - n, 0)
                if self.unfinished_tasks == 0:
                    self.all_tasks_done.notify_all()
            return result
