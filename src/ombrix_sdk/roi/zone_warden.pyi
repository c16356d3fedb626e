"""Polygon region filter for the detections or tracks of a frame."""

import copy as copy
import logging
from typing import (
    Any,
    Dict,
    Iterable,
    List,
    MutableMapping,
    Optional,
    Sequence,
    TypeVar,
    Union,
    overload,
)

from ombrix_sdk.constants import KEY as KEY
from ombrix_sdk.logging import exception_traceback as exception_traceback
from ombrix_sdk.logging import get_logger as get_logger

# numpy and the shapely geometry classes, as the module imported them.
np: Any
Polygon: Any
Point: Any

logger: logging.Logger

_T = TypeVar("_T")

# One region: a mapping under the key names of RoiData ("points" holds
# [x, y] vertices in fractions of the frame's width and height).
_RegionRecord = MutableMapping[str, Any]

class RoiData:
    POLYGON_INFO: str
    ROI_ID_KEY: str
    ROI_LABEL_KEY: str
    INCLUDE_KEY: str
    POINTS_KEY: str
    POLYGON_EDGE: int

class ZoneWarden:
    polygons: Optional[List[_RegionRecord]]
    rois: Optional[Sequence[_RegionRecord]]
    frame_sz: List[float]
    _included_rois: List[_RegionRecord]
    _empty_polygon: Optional[_RegionRecord]
    _exclusion_intersections: Dict[int, List[Any]]
    def __init__(
        self,
        polygons: Optional[Sequence[_RegionRecord]] = None,
        frame_sz: Optional[Sequence[float]] = None,
    ) -> None: ...
    def _is_point_excluded_for_polygon(
        self, point_shapely: Any, polygon: _RegionRecord
    ) -> bool: ...
    @overload
    def filter_in_roi(
        self,
        det_or_trk: List[_T],
        frame_sz: Optional[Sequence[float]] = None,
        anchor_pt: Sequence[float] = (0.5, 0.5),
    ) -> List[_T]: ...
    @overload
    def filter_in_roi(
        self,
        det_or_trk: Iterable[_T],
        frame_sz: Optional[Sequence[float]] = None,
        anchor_pt: Sequence[float] = (0.5, 0.5),
    ) -> Union[Iterable[_T], List[_T]]: ...
    @staticmethod
    def _is_point_in_polygon(point_shapely: Any, polygon: _RegionRecord) -> bool: ...
    @staticmethod
    def _assign_roi_info(
        item_copy: Any, matched_polygons: Sequence[_RegionRecord], has_info_attr: Any
    ) -> None: ...
