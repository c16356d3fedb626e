"""Names and settings of ombrix_sdk.constants.

Settings are read at import, so every environment case runs in a fresh
interpreter that prints the values as JSON.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import ombrix_sdk
from ombrix_sdk.constants import KEY, MODEL_TYPE

SETTING_VARS = ["OMBRIX_MODEL_DIR", "SERVER_HOST", "OMBRIX_TOKEN_FILE"]
PLACEHOLDER = "<MODEL_KEY>"
MODEL_TYPE_NAMES = [
    "INTERNAL", "TF_YOLO", "OPENVINO", "TF_LITE",
    "TensorRT", "TF_V1", "TF_V2", "TORCH",
]


def _settings(**env_overrides):
    """Import the constants in a fresh interpreter and return the settings."""
    env = dict(os.environ)
    for name in SETTING_VARS:
        env.pop(name, None)
    env.update(env_overrides)
    package_parent = os.path.dirname(os.path.dirname(ombrix_sdk.__file__))
    env["PYTHONPATH"] = package_parent + os.pathsep + env.get("PYTHONPATH", "")
    code = textwrap.dedent(
        """
        import json
        from ombrix_sdk.constants import BASE_MODEL_DIR, MODEL_URL, SERVER_HOST
        from ombrix_sdk.constants import MODEL_URL_PATH
        from ombrix_sdk.constants.variables import TOKEN_FILE
        print(json.dumps({
            "BASE_MODEL_DIR": BASE_MODEL_DIR,
            "MODEL_URL": MODEL_URL,
            "MODEL_URL_PATH": MODEL_URL_PATH,
            "SERVER_HOST": SERVER_HOST,
            "TOKEN_FILE": TOKEN_FILE,
        }))
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def defaults():
    return _settings()


# --- namespaces -------------------------------------------------------------


@pytest.mark.parametrize(
    "attr, expected", [("ROI_ID", "roi_id"), ("ROI_NAME", "roi_name")]
)
def test_key_names(attr, expected):
    value = getattr(KEY, attr)
    assert type(value) is str
    assert value == expected


@pytest.mark.parametrize("attr", MODEL_TYPE_NAMES)
def test_model_type_names_are_str(attr):
    value = getattr(MODEL_TYPE, attr)
    assert type(value) is str
    assert value


def test_model_type_names_are_distinct():
    values = [getattr(MODEL_TYPE, attr) for attr in MODEL_TYPE_NAMES]
    assert len(set(values)) == len(values)


# --- defaults ---------------------------------------------------------------


@pytest.mark.parametrize(
    "name", ["BASE_MODEL_DIR", "MODEL_URL", "SERVER_HOST", "TOKEN_FILE"]
)
def test_defaults_are_nonempty_str(defaults, name):
    assert isinstance(defaults[name], str)
    assert defaults[name].strip() == defaults[name] != ""


@pytest.mark.parametrize("name", ["BASE_MODEL_DIR", "TOKEN_FILE"])
def test_default_paths_are_absolute(defaults, name):
    assert os.path.isabs(defaults[name])


def test_default_server_host_is_a_base_url(defaults):
    host = defaults["SERVER_HOST"]
    assert host.startswith(("https://", "http://"))
    assert not host.endswith("/")


def test_default_model_url(defaults):
    url = defaults["MODEL_URL"]
    assert url == defaults["SERVER_HOST"] + defaults["MODEL_URL_PATH"]
    assert defaults["MODEL_URL_PATH"].startswith("/")
    assert url.count(PLACEHOLDER) == 1


def test_imported_values_match_fresh_interpreter(defaults):
    from ombrix_sdk import constants
    from ombrix_sdk.constants import variables

    if not any(os.environ.get(v, "").strip() for v in SETTING_VARS):
        assert constants.BASE_MODEL_DIR == defaults["BASE_MODEL_DIR"]
        assert constants.MODEL_URL == defaults["MODEL_URL"]
        assert variables.TOKEN_FILE == defaults["TOKEN_FILE"]
    assert constants.MODEL_URL == constants.SERVER_HOST + constants.MODEL_URL_PATH


# --- environment overrides --------------------------------------------------


@pytest.mark.parametrize(
    "var, value, name, expected",
    [
        ("OMBRIX_MODEL_DIR", "/data/models", "BASE_MODEL_DIR", "/data/models"),
        ("OMBRIX_MODEL_DIR", "  /srv/m  ", "BASE_MODEL_DIR", "/srv/m"),
        ("OMBRIX_TOKEN_FILE", "/run/secrets/tok", "TOKEN_FILE", "/run/secrets/tok"),
        ("SERVER_HOST", "http://backend.test:8080", "SERVER_HOST",
         "http://backend.test:8080"),
        ("SERVER_HOST", "https://backend.test///", "SERVER_HOST",
         "https://backend.test"),
        ("SERVER_HOST", "https://backend.test/api/", "SERVER_HOST",
         "https://backend.test/api"),
        ("SERVER_HOST", "backend.test:8443", "SERVER_HOST",
         "https://backend.test:8443"),
    ],
)
def test_environment_override(var, value, name, expected):
    settings = _settings(**{var: value})
    assert settings[name] == expected
    assert settings["MODEL_URL"] == settings["SERVER_HOST"] + settings["MODEL_URL_PATH"]


@pytest.mark.parametrize("var", SETTING_VARS)
@pytest.mark.parametrize("value", ["", "   "])
def test_blank_variable_means_default(defaults, var, value):
    assert _settings(**{var: value}) == defaults


@pytest.mark.parametrize("var", SETTING_VARS)
def test_override_touches_only_its_setting(defaults, var):
    settings = _settings(**{var: "https://elsewhere.test/x"})
    changed = {k for k in settings if settings[k] != defaults[k]}
    affected = {
        "OMBRIX_MODEL_DIR": {"BASE_MODEL_DIR"},
        "OMBRIX_TOKEN_FILE": {"TOKEN_FILE"},
        "SERVER_HOST": {"SERVER_HOST", "MODEL_URL"},
    }[var]
    assert changed == affected


def test_model_url_follows_server_host():
    host = "http://10.0.0.5:9000"
    settings = _settings(SERVER_HOST=host + "/")
    assert settings["MODEL_URL"].startswith(host + "/")
    assert PLACEHOLDER in settings["MODEL_URL"]
    assert settings["MODEL_URL"].replace(PLACEHOLDER, "k1") == (
        host + settings["MODEL_URL_PATH"].replace(PLACEHOLDER, "k1")
    )
