#include "geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace zone_warden {

namespace {

constexpr double kLargest = 0x1p300;   // coordinates and differences stay below
constexpr double kSmallest = 0x1p-300; // non-zero differences stay above
// A sign is taken as certain only when the determinant exceeds this fraction
// of the magnitudes it was computed from. Plain double evaluation errs by
// less than 4e-16 of them, double-double evaluation by less than 1e-29.
constexpr double kMargin = 0x1p-40;

bool moderate(double v) {
  double a = std::fabs(v);
  return a == 0.0 || (a >= kSmallest && a <= kLargest);
}

// The orientation of q relative to the directed segment p1 -> p2: +1 when q
// lies to the left (counter-clockwise), -1 to the right, 0 when the sign is
// not certain (including q on the segment's line).
int certain_orientation(double p1x, double p1y, double p2x, double p2y, double qx, double qy) {
  const double a = p1x - qx, b = p2y - qy, c = p1y - qy, d = p2x - qx;
  const double dx1 = p2x - p1x, dy1 = p2y - p1y;
  if (!moderate(a) || !moderate(b) || !moderate(c) || !moderate(d) || !moderate(dx1) ||
      !moderate(dy1)) {
    return 0;
  }
  const double left = a * b, right = c * d;
  const double det = left - right;
  if (det == 0.0) return 0;
  // Magnitudes of the products from which any evaluation of this
  // determinant starts, whichever vertex it takes as origin.
  const double spread = std::fabs(left) + std::fabs(right) + std::fabs(dx1 * b) +
                        std::fabs(dy1 * d) + std::fabs(dx1 * c) + std::fabs(dy1 * a);
  if (!(std::fabs(det) > kMargin * spread)) return 0;
  return det > 0.0 ? 1 : -1;
}

constexpr std::size_t kMaxBands = 256;

// The band of height y, for any y (clamped to the first and last band). The
// computation only rounds monotonically, so y1 <= y2 gives band_of(y1) <=
// band_of(y2): an edge listed in the bands of its lowest and highest y and
// all between is listed in the band of every height it reaches.
std::size_t band_of(const Ring& ring, double y) {
  const double last = static_cast<double>(ring.band_start.size() - 2);
  double b = std::floor((y - ring.miny) * ring.band_scale);
  if (!(b > 0.0)) return 0;
  if (b > last) b = last;
  return static_cast<std::size_t>(b);
}

// a + b into *sum; false when it does not fit a size_t.
bool add_size(std::size_t a, std::size_t b, std::size_t* sum) {
  if (a > SIZE_MAX - b) return false;
  *sum = a + b;
  return true;
}

// Lists every edge in the bands of the heights it reaches. False when the
// index would not fit a size_t, or would hold more than
// kMaxBandEntriesPerEdge entries per edge; the ring is then left with one
// band (see make_bands).
bool fill_bands(Ring* ring, std::size_t bands) {
  const std::size_t edges = ring->x.size() - 1;
  ring->band_start.assign(bands + 1, 0);
  std::size_t limit = SIZE_MAX;
  if (edges <= SIZE_MAX / kMaxBandEntriesPerEdge) limit = edges * kMaxBandEntriesPerEdge;
  if (limit < kMaxBands) limit = kMaxBands;
  // Count, then fill in ring order.
  std::vector<std::size_t> count(bands, 0);
  std::size_t total = 0;
  for (std::size_t i = 0; i < edges; ++i) {
    const double lo = std::min(ring->y[i], ring->y[i + 1]);
    const double hi = std::max(ring->y[i], ring->y[i + 1]);
    const std::size_t first = band_of(*ring, lo), top = band_of(*ring, hi);
    // top - first + 1 <= bands: no wrap.
    if (!add_size(total, top - first + 1, &total) || total > limit) return false;
    for (std::size_t b = first; b <= top; ++b) ++count[b];
  }
  // The running sums never exceed total.
  for (std::size_t b = 0; b < bands; ++b) ring->band_start[b + 1] = ring->band_start[b] + count[b];
  ring->band_edges.assign(ring->band_start[bands], 0);
  std::vector<std::size_t> next(ring->band_start.begin(), ring->band_start.end() - 1);
  for (std::size_t i = 0; i < edges; ++i) {
    const double lo = std::min(ring->y[i], ring->y[i + 1]);
    const double hi = std::max(ring->y[i], ring->y[i + 1]);
    for (std::size_t b = band_of(*ring, lo), top = band_of(*ring, hi); b <= top; ++b) {
      ring->band_edges[next[b]++] = i;
    }
  }
  return true;
}

void make_bands(Ring* ring) {
  const std::size_t edges = ring->x.size() - 1;
  const double height = ring->maxy - ring->miny;
  std::size_t bands = std::min(std::max<std::size_t>(edges, 1), kMaxBands);
  ring->band_scale = 0.0;
  if (height > 0.0) {
    ring->band_scale = static_cast<double>(bands) / height;
    if (!std::isfinite(ring->band_scale)) ring->band_scale = 0.0;
  }
  if (ring->band_scale == 0.0) bands = 1;
  if (bands > 1 && fill_bands(ring, bands)) return;
  // One band that lists every edge once: band_of answers 0 for any height.
  ring->band_scale = 0.0;
  fill_bands(ring, 1);
}

// Location of (px, py) relative to a closed ring: the crossings of the ray
// from the point towards +x with the ring's edges. An edge that goes up
// includes its start and excludes its end, one that goes down the reverse,
// so that a vertex is counted once.
//
// Only the edges of the point's band are visited, in ring order: every other
// edge lies wholly above or below the point and would change nothing below.
Location locate_in_ring(const Ring& ring, double px, double py) {
  if (px < ring.minx || px > ring.maxx || py < ring.miny || py > ring.maxy) {
    return Location::Exterior;
  }
  const double* xs = ring.x.data();
  const double* ys = ring.y.data();
  const std::size_t band = band_of(ring, py);
  const std::size_t* edge = ring.band_edges.data() + ring.band_start[band];
  const std::size_t* const end = ring.band_edges.data() + ring.band_start[band + 1];
  std::size_t crossings = 0;
  for (; edge != end; ++edge) {
    const std::size_t i = *edge;
    const double p1x = xs[i], p1y = ys[i], p2x = xs[i + 1], p2y = ys[i + 1];
    if (p1x < px && p2x < px) continue;  // the edge lies left of the point
    if (px == p2x && py == p2y) return Location::Boundary;
    if (p1y == py && p2y == py) {  // horizontal edge at the point's height
      if (px >= std::min(p1x, p2x) && px <= std::max(p1x, p2x)) return Location::Boundary;
      continue;
    }
    if ((p1y > py && p2y <= py) || (p2y > py && p1y <= py)) {
      if (px == p1x && py == p1y) return Location::Boundary;
      if (p1x == px && p2x == px) return Location::Boundary;  // vertical edge through it
      int side = certain_orientation(p1x, p1y, p2x, p2y, px, py);
      if (side == 0) return Location::Unsure;
      if (p2y < p1y) side = -side;  // as seen along the edge going up
      if (side > 0) ++crossings;
    }
  }
  return (crossings & 1) ? Location::Interior : Location::Exterior;
}

Location locate_in_polygon(const PolygonRings& polygon, double px, double py) {
  Location shell = locate_in_ring(polygon.shell, px, py);
  if (shell != Location::Interior) return shell;
  for (const Ring& hole : polygon.holes) {
    switch (locate_in_ring(hole, px, py)) {
      case Location::Interior: return Location::Exterior;
      case Location::Boundary: return Location::Boundary;
      case Location::Unsure: return Location::Unsure;
      case Location::Exterior: break;
    }
  }
  return Location::Interior;
}

}  // namespace

bool make_ring(const std::vector<double>& xy, Ring* ring) {
  const std::size_t n = xy.size() / 2;
  ring->x.clear();
  ring->y.clear();
  if (n == 0) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = xy[2 * i], y = xy[2 * i + 1];
    if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > kLargest ||
        std::fabs(y) > kLargest) {
      return false;
    }
    ring->x.push_back(x);
    ring->y.push_back(y);
  }
  if (ring->x.front() != ring->x.back() || ring->y.front() != ring->y.back()) {
    ring->x.push_back(ring->x.front());
    ring->y.push_back(ring->y.front());
  }
  if (ring->x.size() < 4) return false;
  auto [minx, maxx] = std::minmax_element(ring->x.begin(), ring->x.end());
  auto [miny, maxy] = std::minmax_element(ring->y.begin(), ring->y.end());
  ring->minx = *minx;
  ring->maxx = *maxx;
  ring->miny = *miny;
  ring->maxy = *maxy;
  make_bands(ring);
  return true;
}

void finish_area(Area* area) {
  bool first = true;
  for (const PolygonRings& part : area->parts) {
    const Ring& s = part.shell;
    if (first) {
      area->minx = s.minx;
      area->miny = s.miny;
      area->maxx = s.maxx;
      area->maxy = s.maxy;
      first = false;
    } else {
      area->minx = std::min(area->minx, s.minx);
      area->miny = std::min(area->miny, s.miny);
      area->maxx = std::max(area->maxx, s.maxx);
      area->maxy = std::max(area->maxy, s.maxy);
    }
  }
}

Location locate(const Area& area, double px, double py) {
  if (area.parts.empty() || px < area.minx || px > area.maxx || py < area.miny ||
      py > area.maxy) {
    return Location::Exterior;
  }
  // The parts of a valid multipolygon have disjoint interiors, so the point
  // is interior to the whole when it is interior to one part.
  Location found = Location::Exterior;
  for (const PolygonRings& part : area.parts) {
    Location loc = locate_in_polygon(part, px, py);
    if (loc == Location::Interior) return loc;
    if (loc == Location::Unsure || found == Location::Exterior) found = loc;
  }
  return found;
}

}  // namespace zone_warden
