// Point location in polygonal areas, on the areas' own double coordinates.
//
// The answers must be the ones the geometry library gives for
// `area.contains(Point(x, y))`: a point counts as contained only when it lies
// in the interior, so a point on an edge or a vertex is not contained. The
// library decides that by counting the crossings of a ray from the point with
// the area's rings, using an orientation predicate for each crossing edge.
// Counting crossings with orientations of certain sign gives the one true
// location of the point, whichever correct method computes it. So every
// orientation here is either certain (its sign holds for the exact
// coordinates, and by a margin far above the rounding error of any
// extended-precision evaluation) or reported as `Unsure`; the caller then asks
// the library itself. Points exactly on an edge that is not horizontal or
// vertical, and points within about 1e-12 (relative) of an edge, come out
// `Unsure`; everything else is decided here.
#pragma once

#include <cstddef>
#include <vector>

namespace zone_warden {

enum class Location { Interior, Boundary, Exterior, Unsure };

// A closed ring: the first vertex repeated at the end.
//
// Its height is cut into horizontal bands, and each band lists, in ring
// order, the edges whose closed y-range meets it. An edge that does not
// reach a point's height can neither be crossed by the ray from the point nor
// hold the point, so only the edges of the point's band need to be looked at.
struct Ring {
  std::vector<double> x, y;
  double minx = 0, miny = 0, maxx = 0, maxy = 0;
  double band_scale = 0;                  // bands per unit of y
  std::vector<std::size_t> band_start;    // band b: band_edges[band_start[b]..band_start[b + 1])
  std::vector<std::size_t> band_edges;    // edge i joins vertices i and i + 1
};

// One polygon: a shell and its holes.
struct PolygonRings {
  Ring shell;
  std::vector<Ring> holes;
};

// A valid polygon or multipolygon, as the parts it consists of.
struct Area {
  std::vector<PolygonRings> parts;
  double minx = 0, miny = 0, maxx = 0, maxy = 0;
};

// Builds a ring from n vertices (x0, y0, x1, y1, ...), closing it when the
// last vertex differs from the first. False when a coordinate is not finite
// or too large in magnitude for the certain orientations (|v| > 2^300), when
// fewer than four vertices remain, or when the ring is too large to index
// (sizes that would not fit a size_t): the caller then asks the library.
// Where edges that span many bands would make the band index much larger
// than the ring (more than kMaxBandEntriesPerEdge entries per edge), the
// ring gets a single band listing every edge once.
constexpr std::size_t kMaxBandEntriesPerEdge = 8;
bool make_ring(const std::vector<double>& xy, Ring* ring);

// Finishes an area after its parts were added: computes its bounding box.
void finish_area(Area* area);

// Where (px, py) lies in the area. The point must be finite.
Location locate(const Area& area, double px, double py);

// True when (px, py) lies outside the area's bounding box, where locate
// answers Exterior without looking further.
inline bool outside_box(const Area& area, double px, double py) {
  return px < area.minx || px > area.maxx || py < area.miny || py > area.maxy;
}

}  // namespace zone_warden
