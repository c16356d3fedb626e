"""The region filter written plainly in Python over shapely.

The yardstick for the native ZoneWarden in the benchmarks and the oracle it
is compared with in the tests: the same construction and filtering steps,
through the same hooks.
"""
import copy

import numpy as np
from shapely.geometry import Point, Polygon


class PyZoneWarden(object):
    """Drop-in plain-Python region filter. A failure of filter_in_roi is kept
    in `failure` (and [] returned) instead of being logged."""

    def __init__(self, polygons=None, frame_sz=None):
        self.polygons = None
        if polygons:
            self.polygons = copy.deepcopy(polygons)
        self.rois = polygons
        if frame_sz:
            self.frame_sz = [float(frame_sz[0]), float(frame_sz[1])]
        else:
            self.frame_sz = [1.0, 1.0]
        self._included_rois = []
        self._empty_polygon = None
        self._exclusion_intersections = {}
        self.failure = None
        if not self.rois:
            return
        for roi in self.rois:
            roi["points"] = np.array(roi["points"], dtype=np.float32)
            roi["shapely_polygon"] = Polygon(roi["points"])
        exclusions = [roi for roi in self.rois if not roi["include"]]
        for roi in self.rois:
            if len(roi["points"]) == 0:
                self._empty_polygon = roi
                continue
            if roi["include"]:
                self._included_rois.append(roi)
                kept = []
                for excl in exclusions:
                    overlap = roi["shapely_polygon"].intersection(excl["shapely_polygon"])
                    if not overlap.is_empty:
                        kept.append(overlap)
                self._exclusion_intersections[id(roi)] = kept

    def _is_point_excluded_for_polygon(self, point, polygon):
        for overlap in self._exclusion_intersections.get(id(polygon), []):
            if overlap.contains(point):
                return True
        return False

    def filter_in_roi(self, det_or_trk, frame_sz=None, anchor_pt=(0.5, 0.5)):
        self.failure = None
        try:
            if not frame_sz:
                frame_sz = self.frame_sz
            if not self.rois:
                return det_or_trk
            fx, fy = frame_sz[0], frame_sz[1]
            ax, ay = anchor_pt
            included = self._included_rois
            empty = self._empty_polygon
            result = []
            for item in det_or_trk:
                try:
                    item.info
                    has_info = True
                except Exception:
                    has_info = False
                box = item.info.get("rect", item.tlwh) if has_info else item.tlwh
                x, y, w, h = box
                rx = x + w * ax
                ry = y + h * ay
                if w > 1.0 and h > 1.0:
                    rx = rx / fx
                    ry = ry / fy
                point = Point(rx, ry)
                matches = []
                for roi in included:
                    if self._is_point_in_polygon(point, roi) and \
                            not self._is_point_excluded_for_polygon(point, roi):
                        matches.append(roi)
                if matches:
                    item_copy = copy.copy(item)
                    self._assign_roi_info(item_copy, matches, has_info)
                    result.append(item_copy)
                elif empty is not None:
                    result.append(item)
            return result
        except Exception as e:
            self.failure = e
            return []

    @staticmethod
    def _is_point_in_polygon(point, polygon):
        return polygon["shapely_polygon"].contains(point)

    @staticmethod
    def _assign_roi_info(item_copy, matched, has_info):
        ids = [p.get("roi_id", "") for p in matched]
        names = [p.get("label", "") for p in matched]
        if has_info:
            item_copy.info["roi_id"] = ids
            item_copy.info["roi_name"] = names
        else:
            item_copy.roi_id = ids
            item_copy.roi_name = names
