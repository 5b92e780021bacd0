// Manhattan polygons on an integer grid and their decomposition into boxes.
#pragma once

#include <cstdint>
#include <vector>

struct GridPoint {
    int64_t x = 0, y = 0;
};

struct GridRect {
    int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

typedef std::vector<GridPoint> Ring;  // implicitly closed, first point not repeated

// Every edge of the ring is horizontal or vertical (a zero-length edge is
// neither and makes the ring not Manhattan).
bool IsManhattan(const Ring& ring);

// Disjoint rectangles whose union is the region inside an odd number of the
// rings (an outline with its holes). Horizontal slabs between successive
// vertex heights are cut into runs, and a run that continues unchanged into
// the next slab grows the rectangle above instead of starting a new one, so
// a polygon of k notches gives O(k) rectangles rather than one per slab.
std::vector<GridRect> DecomposeManhattan(const std::vector<Ring>& rings);
