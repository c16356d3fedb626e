"""Brings detection models onto the device: device token, signed model URL,
streamed download, safe extraction, model type detection."""

import json as json
import logging
import os as os
import shutil as shutil
import tarfile as tarfile
import time as time
from typing import Any, Optional as Optional
from urllib.parse import urlparse as urlparse

from ombrix_sdk.constants import BASE_MODEL_DIR as BASE_MODEL_DIR
from ombrix_sdk.constants import MODEL_TYPE as MODEL_TYPE
from ombrix_sdk.constants import MODEL_URL as MODEL_URL
from ombrix_sdk.constants.variables import TOKEN_FILE as TOKEN_FILE
from ombrix_sdk.logging import get_logger as get_logger

# The requests and python-magic modules, as the module imported them.
requests: Any
magic: Any

logger: logging.Logger
# python-magic file-type detector (textual descriptions).
fm: Any
# Retry window of download_detection_model and time-out of the archive
# request, in seconds.
DOWNLOAD_MODEL_TIMEOUT: int

def get_device_token() -> Optional[str]: ...
def get_model_url(model_id: str) -> Optional[str]: ...
def download_detection_model(model_id: str) -> Optional[str]: ...
def check_model_type(model_dir: str) -> Optional[str]: ...
def _safe_extract(tar: tarfile.TarFile, path: str) -> None: ...
def download_file(cloud_url: str, local_file: str) -> bool: ...
def download_url(cloud_url: str) -> Optional[str]: ...
