"""Typical use of the SDK, checked with mypy --strict by test_typing.py.

Nothing here runs at import: the functions only have to type-check against
the installed stubs.
"""
import logging
from typing import Any, Dict, List, Optional, Tuple

from ombrix_sdk.constants import BASE_MODEL_DIR, KEY, MODEL_TYPE, MODEL_URL, SERVER_HOST
from ombrix_sdk.constants.variables import TOKEN_FILE
from ombrix_sdk.logging import exception_traceback, get_logger
from ombrix_sdk.logging.log_id import ErrorType, EventType, LogIDGenerator
from ombrix_sdk.model import fetch
from ombrix_sdk.model.fetch import (
    check_model_type,
    download_detection_model,
    download_file,
    download_url,
    get_device_token,
    get_model_url,
)
from ombrix_sdk.roi.zone_warden import RoiData, ZoneWarden
from ombrix_sdk.structures.tideq import TideQueue


class Detection:
    def __init__(self, tlwh: Tuple[float, float, float, float]) -> None:
        self.tlwh = tlwh


class Track(Detection):
    def __init__(self, tlwh: Tuple[float, float, float, float], track_id: int) -> None:
        super().__init__(tlwh)
        self.info: Dict[str, Any] = {"track_id": track_id}


def rolling_queue() -> int:
    q = TideQueue(64)
    debug_q = TideQueue(batch_size=8, debug=True)
    debug_q.logger.info("queue with drop warnings")
    q.put(Detection((0.1, 0.1, 0.2, 0.2)))
    q.put("anything", block=False, timeout=0.5)
    q.put_nowait(3)
    batch: List[Any] = q.drain_fast(16)
    as_tuple: Tuple[Any, ...] = q.drain_fast(16, dest_factory=tuple)
    counted: int = q.drain_fast(4, dest_factory=len, adjust_unfinished=False)
    q.task_done()
    q.join()
    return len(batch) + len(as_tuple) + counted + q.qsize() + q.maxsize


def regions(frame: List[Detection], tracks: List[Track]) -> int:
    records: List[Dict[str, Any]] = [
        {
            RoiData.ROI_ID_KEY: "r1",
            RoiData.ROI_LABEL_KEY: "entrance",
            RoiData.INCLUDE_KEY: True,
            RoiData.POINTS_KEY: [[0.1, 0.1], [0.6, 0.1], [0.6, 0.6], [0.1, 0.6]],
        },
        {RoiData.INCLUDE_KEY: False, RoiData.POINTS_KEY: [[0.3, 0.3], [0.4, 0.3], [0.4, 0.4]]},
    ]
    warden = ZoneWarden(records, frame_sz=(1920, 1080))
    kept: List[Detection] = warden.filter_in_roi(frame)
    kept_tracks: List[Track] = warden.filter_in_roi(tracks, [1280, 720], anchor_pt=(0.5, 1.0))
    ids: List[str] = [t.info[KEY.ROI_ID] for t in kept_tracks]
    everything = ZoneWarden().filter_in_roi(frame, None, (0.0, 0.0))
    width, height = warden.frame_sz
    return len(kept) + len(ids) + len(everything) + int(width + height)


def model() -> Optional[str]:
    token: Optional[str] = get_device_token()
    url: Optional[str] = get_model_url("demo-detector")
    if token is None or url is None:
        return None
    ok: bool = download_file(cloud_url=url, local_file=BASE_MODEL_DIR + "/m.tar.xz")
    if not ok:
        return download_url(url)
    model_dir = download_detection_model(model_id="demo-detector")
    if model_dir is None or model_dir == MODEL_TYPE.INTERNAL:
        return None
    kind = check_model_type(model_dir)
    if kind == MODEL_TYPE.OPENVINO:
        return kind
    seconds: int = fetch.DOWNLOAD_MODEL_TIMEOUT
    fetch.logger.info("budget %d s, token file %s, url %s", seconds, TOKEN_FILE, MODEL_URL)
    return kind


def logs() -> str:
    log: logging.Logger = get_logger("APP")
    try:
        raise ValueError("demo")
    except ValueError as e:
        exception_traceback(log, e)
    ids = LogIDGenerator(node_id="abcdef1234", source_idx=2)
    session: str = ids.generate_session_id()
    current: Optional[str] = ids.get_session_id()
    event = ids.generate_event_id(EventType.START)
    error = ids.generate_error_id(ErrorType.FRAME_CAPTURE)
    line = LogIDGenerator.format_log_with_id("hello", error)
    return " ".join([session, str(current), event, line, SERVER_HOST])
