// The read-only form of the octree that every hop queries: all cells in one
// array with the eight children of a cell side by side, and the candidates
// of all leaves in two parallel arrays (grid boxes, blocks), each leaf a
// run of them. A descent costs one load per level, a leaf scan reads
// adjacent boxes, and a million-block index holds no allocation per cell.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry.h"

class LeafIndex {
public:
    static constexpr uint32_t LEAF = 0xffffffffu;
    // Inner cell: `at` is the centre that picks the child and `link` the
    // first of its eight children, in child order. Leaf: link is LEAF,
    // at[0] the first candidate and at[1] their number.
    struct Cell {
        int32_t at[3];
        uint32_t link;
    };
    struct Box {
        int32_t x0, y0, z0, x1, y1, z1;
    };

    // A single empty leaf over root.
    void Reset(const BaseCuboid<int>& root);
    // Turns leaf `cell` into an inner cell about center with eight empty
    // leaves; returns the first of them.
    uint32_t Split(uint32_t cell, const BaseVector3<int>& center);
    // Gives leaf `cell` these candidates. A list equal to the one given
    // last shares its storage.
    void SetLeaf(uint32_t cell, const Cuboid* const* blocks, const BaseCuboid<int>* boxes, size_t n);
    // Puts the tree of `sub` in place of leaf `cell`: sub's root becomes
    // that cell and the rest is appended, links and runs moved along.
    void Graft(uint32_t cell, const LeafIndex& sub);
    // Room for about this many cells and candidates, so that a large index
    // grows without copying its arrays (pages never written cost nothing).
    void Reserve(size_t cells, size_t candidates);

    const BaseCuboid<int>& Root() const { return root_; }
    size_t Cells() const { return cells_.size(); }
    const Cell& At(uint32_t cell) const { return cells_[cell]; }
    // Candidates of a leaf cell, in list order.
    const Cuboid* const* Blocks(uint32_t cell) const { return blocks_.data() + cells_[cell].at[0]; }
    size_t Count(uint32_t cell) const { return (size_t)(uint32_t)cells_[cell].at[1]; }
    // Bytes of the arrays in use.
    size_t Bytes() const;

    // The leaf a walk found last and the grid box of the points whose
    // descent ends there (closed on every axis: lo to lo + span). Successive
    // hops of a walk mostly stay in one leaf, and one that does skips the
    // descent: its points take the same side of every centre on the way down.
    struct Hint {
        uint32_t leaf = LEAF;
        int32_t lo[3] = {0, 0, 0};
        // hi - lo, kept rather than hi: the test of every hop needs no subtraction.
        uint32_t span[3] = {0, 0, 0};
        // The leaf's candidates, so that a hop in it reads no cell.
        const Box* box = nullptr;
        const Cuboid* const* block = nullptr;
        uint32_t count = 0;
    };

    // The leaf cell holding g (x and z closed, y half-open at the root), or
    // LEAF outside the root or before Reset.
    uint32_t LeafAt(const BaseVector3<int>& g) const
    {
        const BaseCuboid<int>& r = root_;
        if (cells_.empty() || g.x < r.x0 || g.x > r.x1 || g.y < r.y0 || g.y >= r.y1 || g.z < r.z0 ||
            g.z > r.z1)
            return LEAF;
        return Descend(0, g);
    }

    // LeafAt(g), from the hint when g lies in its leaf; else the hint
    // becomes g's leaf (and stays as it was outside the root).
    uint32_t LeafAt(const BaseVector3<int>& g, Hint& hint) const
    {
        // lo <= v <= lo + span in one unsigned comparison. A walk nearly
        // always stays in the leaf, so the axes are tested by branches that
        // predict well rather than combined flags.
        auto in = [&hint](int32_t v, int a) { return (uint32_t)v - (uint32_t)hint.lo[a] <= hint.span[a]; };
        if (__builtin_expect(hint.leaf != LEAF && in(g.x, 0) && in(g.y, 1) && in(g.z, 2), 1))
            return hint.leaf;
        const BaseCuboid<int>& r = root_;
        if (cells_.empty() || g.x < r.x0 || g.x > r.x1 || g.y < r.y0 || g.y >= r.y1 || g.z < r.z0 ||
            g.z > r.z1)
            return LEAF;
        const Cell* cells = cells_.data();
        int32_t lx = r.x0, ly = r.y0, lz = r.z0, hx = r.x1, hy = r.y1 - 1, hz = r.z1;
        // Each side taken is a fresh coin for the branch predictor: the
        // bounds follow it by masks, not by branches.
        auto side = [](int32_t v, int32_t at, int32_t& lo, int32_t& hi) {
            const uint32_t up = (uint32_t)(v >= at);
            const int32_t m = -(int32_t)up;
            lo = (at & m) | (lo & ~m);
            hi = ((at - 1) & ~m) | (hi & m);
            return up;
        };
        uint32_t n = 0;
        while (cells[n].link != LEAF) {
            const Cell c = cells[n];
            const uint32_t ux = side(g.x, c.at[0], lx, hx), uy = side(g.y, c.at[1], ly, hy),
                           uz = side(g.z, c.at[2], lz, hz);
            n = c.link + ux + 2u * uy + 4u * uz;
        }
        hint.leaf = n;
        hint.lo[0] = lx, hint.lo[1] = ly, hint.lo[2] = lz;
        hint.span[0] = (uint32_t)hx - (uint32_t)lx, hint.span[1] = (uint32_t)hy - (uint32_t)ly;
        hint.span[2] = (uint32_t)hz - (uint32_t)lz;
        hint.box = boxes_.data() + cells[n].at[0];
        hint.block = blocks_.data() + cells[n].at[0];
        hint.count = (uint32_t)cells[n].at[1];
        return n;
    }

    // The deepest cell that the descents of every grid point from lo to hi
    // (both inside the root) pass through: the last one where lo's and
    // hi's descents still agree, since each centre's test is monotone.
    uint32_t CellHolding(const BaseVector3<int>& lo, const BaseVector3<int>& hi) const;
    // LeafAt(g), descending from a cell that g's descent passes through (the
    // root, cell 0, checks that g lies in it).
    uint32_t LeafBelow(uint32_t from, const BaseVector3<int>& g) const
    {
        return from == 0 ? LeafAt(g) : Descend(from, g);
    }

    // Nearest candidate of g's leaf and its grid distance (0 on or in a
    // block; the first in list order among equals); dist -2147483647 and
    // null outside the root, 2147483647 and null in an empty leaf.
    const Cuboid* Nearest(const BaseVector3<int>& g, int& dist) const { return InLeaf(LeafAt(g), g, dist); }
    // The same, finding the leaf from the hint.
    const Cuboid* Nearest(const BaseVector3<int>& g, int& dist, Hint& hint) const
    {
        if (LeafAt(g, hint) == LEAF) {
            dist = -2147483647;
            return nullptr;
        }
        return Scan(hint.box, hint.block, hint.count, g, dist);
    }

private:
    // The child of inner cell c that g's descent takes.
    static uint32_t Child(const Cell& c, const BaseVector3<int>& g)
    {
        return c.link + (uint32_t)(g.x >= c.at[0]) + 2u * (uint32_t)(g.y >= c.at[1]) + 4u * (uint32_t)(g.z >= c.at[2]);
    }
    uint32_t Descend(uint32_t n, const BaseVector3<int>& g) const
    {
        const Cell* cells = cells_.data();
        while (cells[n].link != LEAF)
            n = Child(cells[n], g);
        return n;
    }

    const Cuboid* InLeaf(uint32_t leaf, const BaseVector3<int>& g, int& dist) const
    {
        if (leaf == LEAF) {
            dist = -2147483647;
            return nullptr;
        }
        const uint32_t first = (uint32_t)cells_[leaf].at[0], n = (uint32_t)cells_[leaf].at[1];
        return Scan(boxes_.data() + first, blocks_.data() + first, n, g, dist);
    }

    // Signed distance from g to box c: the largest per-axis gap, negative
    // inside.
    static int32_t Gap(const Box& c, int32_t gx, int32_t gy, int32_t gz)
    {
        // Values, not std::max's references: through references the
        // compiler kept the gaps in memory and branched on each comparison,
        // a misprediction per block on a fresh point.
        const int32_t ax = c.x0 - gx, bx = gx - c.x1, ay = c.y0 - gy, by = gy - c.y1;
        const int32_t az = c.z0 - gz, bz = gz - c.z1;
        int32_t dx = ax > bx ? ax : bx, dy = ay > by ? ay : by, dz = az > bz ? az : bz;
#if defined(__GNUC__)
        // Left alone, the compiler chains the six into five dependent
        // maxima; taken per axis first the walk's next radius is ready two
        // maxima sooner.
        asm("" : "+r"(dx), "+r"(dy), "+r"(dz));
#endif
        const int32_t dxy = dx > dy ? dx : dy;
        return dxy > dz ? dxy : dz;
    }

    const Cuboid* Scan(const Box* b, const Cuboid* const* blocks, uint32_t n, const BaseVector3<int>& g,
                       int& dist) const
    {
        // A branch-free scan for the strict minimum of the signed gaps. The
        // distance is that minimum clamped at 0; only a walk's last hop
        // reaches a block, so the first block at 0 (where an early return on
        // the first hit would stop) is looked for again then, rather than
        // every gap clamped on every hop.
        int best = INT_MAX;
        uint32_t pick = 0;
        const int32_t gx = g.x, gy = g.y, gz = g.z;
        for (uint32_t i = 0; i < n; ++i) {
            const int32_t d = Gap(b[i], gx, gy, gz);
            pick = d < best ? i : pick;
            best = d < best ? d : best;
        }
        if (__builtin_expect(best <= 0, 0)) {
            for (pick = 0; Gap(b[pick], gx, gy, gz) > 0; ++pick) {
            }
            best = 0;
        }
        dist = best;
        return n ? blocks[pick] : nullptr;
    }

    BaseCuboid<int> root_;
    std::vector<Cell> cells_;
    std::vector<Box> boxes_;
    std::vector<const Cuboid*> blocks_;
    uint32_t last_first_ = 0, last_count_ = 0;
};

// Where to begin the descent for a point on a face of one box, the Gaussian
// surface that every walk of a master starts on: each face is cut into
// squares of 2^shift grid steps, and each square keeps the deepest cell that
// the descents of all its points pass through. The squares are finer than
// the leaves along the face, so a start mostly lands on its leaf with one
// load instead of a descent of six or seven dependent ones from the root.
class FaceStarts {
public:
    // Faces in the order of FACE_FRAMES (z low, y low, x high, y high, x
    // low, z high), on the grid points of box. A face that is not inside the
    // root gets no squares.
    void Build(const LeafIndex& index, const BaseCuboid<int>& box);
    void Clear();
    // The cell to descend from for g on face `face`; the root (0) where g
    // is off that face's plane or squares.
    uint32_t From(const BaseVector3<int>& g, int face) const
    {
        if ((unsigned)face >= 6u)
            return 0;
        const Face& f = faces_[face];
        const int32_t c[3] = {g.x, g.y, g.z};
        if (f.cell.empty() || c[f.axis] != f.plane)
            return 0;
        const uint32_t du = (uint32_t)c[f.u] - (uint32_t)f.lo_u, dv = (uint32_t)c[f.v] - (uint32_t)f.lo_v;
        if (du > f.span_u || dv > f.span_v)
            return 0;
        return f.cell[(dv >> f.shift) * f.nu + (du >> f.shift)];
    }
    // Squares per face at most: a few kilobytes a face stay in cache.
    static constexpr uint64_t MAX_SQUARES = 1024;

private:
    struct Face {
        int axis = 0, u = 0, v = 0;
        int32_t plane = 0, lo_u = 0, lo_v = 0;
        uint32_t span_u = 0, span_v = 0;  // the face's extent less one, in grid steps
        uint32_t nu = 0, nv = 0, shift = 0;
        std::vector<uint32_t> cell;
    };
    Face faces_[6];
};
