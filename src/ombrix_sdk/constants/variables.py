"""Per-device settings, read from the environment once at import.

``TOKEN_FILE``: path of the UTF-8 text file holding the device token that
authenticates this device to the backend.  Set with ``OMBRIX_TOKEN_FILE``;
defaults to ``/etc/ombrix/device_token``, where the device provisioning
mounts it into the container.  An unset or blank variable means the default.
"""

from . import _read_env

__all__ = ["TOKEN_FILE"]

TOKEN_FILE = _read_env("OMBRIX_TOKEN_FILE", "/etc/ombrix/device_token")
