"""Shared names and settings of the Ombrix SDK.

Settings are read from the environment once, when this package is first
imported; changing the environment afterwards has no effect on a running
process.  A variable that is unset, empty or only blanks counts as unset.

=====================  ==================  ==================================
Setting                Variable            Default
=====================  ==================  ==================================
``BASE_MODEL_DIR``     OMBRIX_MODEL_DIR    ``/var/lib/ombrix/models``
``SERVER_HOST``        SERVER_HOST         ``https://api.ombrix.io``
``MODEL_URL``          (from SERVER_HOST)  SERVER_HOST + ``MODEL_URL_PATH``
=====================  ==================  ==================================

The device token path lives in ``ombrix_sdk.constants.variables``.
"""

import os as _os

__all__ = [
    "KEY",
    "MODEL_TYPE",
    "BASE_MODEL_DIR",
    "SERVER_HOST",
    "MODEL_URL_PATH",
    "MODEL_URL",
]


def _read_env(name, default):
    """Value of environment variable ``name`` without surrounding blanks.

    Returns ``default`` when the variable is unset or blank.
    """
    value = _os.environ.get(name, "").strip()
    return value if value else default


class KEY(object):
    """Keys under which SDK results are stored in an item's ``info`` mapping."""

    # Lists of the identifiers and names of the regions an item lies in.
    ROI_ID = "roi_id"
    ROI_NAME = "roi_name"


class MODEL_TYPE(object):
    """Names of the model frameworks the SDK knows about."""

    # Reserved model identifier for the model shipped inside the image; it is
    # never downloaded.
    INTERNAL = "internal"
    # Frameworks recognised from a downloaded model directory.
    TF_YOLO = "tf_yolo"
    OPENVINO = "openvino"
    TF_LITE = "tflite"
    TensorRT = "tensorrt"
    TF_V1 = "tf_v1"
    TF_V2 = "tf_v2"
    TORCH = "torch"


# Directory under which model archives are downloaded and extracted.  The
# default is the usual place for persistent application state in a Linux
# container; mount a volume there to keep models across restarts.  It is
# created on demand by the model download.
BASE_MODEL_DIR = _read_env("OMBRIX_MODEL_DIR", "/var/lib/ombrix/models")


def _server_host():
    """Backend API host from ``SERVER_HOST``, normalised.

    Trailing slashes are dropped so that paths can be appended directly, and
    a host given without a scheme ("api.example.com:8443") gets "https://".
    """
    host = _read_env("SERVER_HOST", "https://api.ombrix.io").rstrip("/")
    if "://" not in host:
        host = "https://" + host
    return host


SERVER_HOST = _server_host()

# Path of the backend request that turns a model key into a signed download
# link; "<MODEL_KEY>" is replaced by the key at request time.
MODEL_URL_PATH = "/v1/models/<MODEL_KEY>/download-url"
MODEL_URL = SERVER_HOST + MODEL_URL_PATH
