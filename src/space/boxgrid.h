// The blocks near a region, from a grid of buckets over the plane: the
// per-master preparation of a large layout (the Gaussian surface, the
// separation check) looks at a master's neighbourhood, not every block.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry.h"

class BoxGrid {
public:
    // Buckets about `per_bucket` blocks each on average over the blocks'
    // bounding box in x and y; a block goes into every bucket it covers.
    // The blocks must keep their place and extent (their ids may change).
    explicit BoxGrid(const std::vector<const Cuboid*>& boxes, double per_bucket = 4.0);
    // Indices into the boxes given, ascending, of those that overlap or
    // touch the closed region r.
    void Near(const Cuboid& r, std::vector<size_t>& out) const;
    // Whether r holds the boxes' whole bounding box: Near then lists all.
    bool Covers(const Cuboid& r) const;

private:
    std::vector<const Cuboid*> boxes_;
    Cuboid bound_;
    double cell_ = 1.0;
    int nx_ = 1, ny_ = 1;
    std::vector<uint32_t> start_;  // bucket b holds items_[start_[b], start_[b + 1])
    std::vector<uint32_t> items_;
    mutable std::vector<uint32_t> seen_;  // the query that last listed each box
    mutable uint32_t query_ = 0;
    void Span(const Cuboid& r, int& i0, int& i1, int& j0, int& j1) const;
};
