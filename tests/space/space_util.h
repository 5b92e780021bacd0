// Shared helpers of the spatial index tests: blocks given in grid units,
// random decks and brute-force nearest-block distances.
#pragma once

#include <algorithm>
#include <climits>
#include <deque>
#include <random>
#include <vector>

#include "octree.h"

// A block whose grid box is exactly the given integers.
inline Cuboid GridBlock(int id, int x0, int y0, int z0, int x1, int y1, int z1)
{
    return Cuboid(id, x0 / 5000.0, y0 / 5000.0, z0 / 5000.0, x1 / 5000.0, y1 / 5000.0, z1 / 5000.0);
}

inline int GridDistance(const BaseCuboid<int>& b, const BaseVector3<int>& g)
{
    return std::max({0, b.x0 - g.x, g.x - b.x1, b.y0 - g.y, g.y - b.y1, b.z0 - g.z, g.z - b.z1});
}

inline int BruteGrid(const std::vector<const Cuboid*>& blocks, const BaseVector3<int>& g)
{
    int best = INT_MAX;
    for (const Cuboid* c : blocks)
        best = std::min(best, GridDistance(ToGrid(*c), g));
    return best;
}

inline double BruteDouble(const std::vector<const Cuboid*>& blocks, const Vector3& p)
{
    double best = 1.7976931348623157e308;
    for (const Cuboid* c : blocks)
        best = std::min(best, std::max({0.0, c->x0 - p.x, p.x - c->x1, c->y0 - p.y, p.y - c->y1,
                                        c->z0 - p.z, p.z - c->z1}));
    return best;
}

inline void CollectLeaves(const Octree::OctreeNode* n, std::vector<const Octree::OctreeNode*>& out)
{
    if (n->children.empty()) {
        out.push_back(n);
        return;
    }
    for (const Octree::OctreeNode* c : n->children)
        CollectLeaves(c, out);
}

// Owns the blocks of a test deck; `blocks` is the conductor list.
class Deck {
public:
    std::deque<Cuboid> store;
    std::vector<const Cuboid*> blocks;

    void Add(const Cuboid& c)
    {
        store.push_back(c);
        store.back().id = (int)blocks.size();
        blocks.push_back(&store.back());
    }
};
