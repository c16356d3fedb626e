"""Misuse that the stubs must reject; checked by test_typing.py.

Every line that mypy must flag ends with an "error:" comment whose text is
part of the message expected on that line; no other line may be flagged.
"""
from typing import List, Tuple

from ombrix_sdk.model.fetch import check_model_type, download_detection_model, get_model_url
from ombrix_sdk.roi.zone_warden import ZoneWarden
from ombrix_sdk.structures.tideq import TideQueue

q = TideQueue("64")  # error: "int"
q.drain_fast(None)  # error: No overload variant of "drain_fast"
q.drain_fast(3, list)  # error: No overload variant of "drain_fast"
q.put()  # error: Missing positional argument
as_tuple: Tuple[int, ...] = q.drain_fast(3)  # error: Incompatible types in assignment
name: str = download_detection_model("key")  # error: Incompatible types in assignment
get_model_url(5)  # error: "str"
get_model_url(model_key="x")  # error: Unexpected keyword argument
check_model_type(None)  # error: "str"
ZoneWarden(frame_sz="1920x1080", regions=[])  # error: Unexpected keyword argument
kept: List[str] = ZoneWarden().filter_in_roi([1, 2])  # error: Incompatible types in assignment
