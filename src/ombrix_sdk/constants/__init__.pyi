__all__ = [
    "KEY",
    "MODEL_TYPE",
    "BASE_MODEL_DIR",
    "SERVER_HOST",
    "MODEL_URL_PATH",
    "MODEL_URL",
]

class KEY:
    ROI_ID: str
    ROI_NAME: str

class MODEL_TYPE:
    INTERNAL: str
    TF_YOLO: str
    OPENVINO: str
    TF_LITE: str
    TensorRT: str
    TF_V1: str
    TF_V2: str
    TORCH: str

# Read once at import (see the package docstring for the variables).
BASE_MODEL_DIR: str
SERVER_HOST: str
MODEL_URL_PATH: str
MODEL_URL: str

def _read_env(name: str, default: str) -> str: ...
