import pytest

import ombrix_sdk.roi.zone_warden as zw


class Recorder(object):
    """Stands in for exception_traceback: keeps (logger, exception) pairs."""

    def __init__(self):
        self.calls = []

    def __call__(self, logger, e):
        self.calls.append((logger, e))
        return "ignored"

    @property
    def errors(self):
        return [e for _, e in self.calls]


@pytest.fixture
def recorder(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(zw, "exception_traceback", rec)
    return rec
