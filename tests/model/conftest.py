import logging

import pytest

from fetch_support import FakeClock, ModelServer, RecordingHandler

import ombrix_sdk.model.fetch as fetch_module

TOKEN = "secret-token"


@pytest.fixture
def fetch():
    return fetch_module


@pytest.fixture
def server():
    srv = ModelServer().start()
    srv.token = TOKEN
    yield srv
    srv.close()


@pytest.fixture
def log():
    """Messages logged through the module logger, as (level, text)."""
    handler = RecordingHandler()
    logger = logging.getLogger("ombrix_sdk.MODEL")
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(level)


class Settings(object):
    def __init__(self, base, token_file, model_url):
        self.base, self.token_file, self.model_url = base, token_file, model_url


@pytest.fixture
def settings(monkeypatch, tmp_path, server):
    """BASE_MODEL_DIR, TOKEN_FILE and MODEL_URL rebound to tmp_path and the
    local server."""
    base = str(tmp_path / "models")
    token_file = str(tmp_path / "device_token")
    with open(token_file, "w") as f:
        f.write(TOKEN + "\n")
    monkeypatch.setattr(fetch_module, "BASE_MODEL_DIR", base)
    monkeypatch.setattr(fetch_module, "TOKEN_FILE", token_file)
    monkeypatch.setattr(fetch_module, "MODEL_URL", server.model_url)
    return Settings(base, token_file, server.model_url)


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(fetch_module, "time", fake)
    return fake


@pytest.fixture
def outside(tmp_path):
    """A directory beside the model base directory that must stay empty."""
    path = tmp_path / "outside"
    path.mkdir()
    return str(path)
