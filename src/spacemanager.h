// Nearest-conductor queries of the random walk, answered from the octree
// leaf that holds the query point.
#pragma once

#include <vector>

#include "geometry.h"
#include "octree.h"

class Spacemanager : public Octree {
public:
    const Cuboid* master = nullptr;  // not owned; read by the Gaussian surface

    Spacemanager(const BaseCuboid<int>& root_box, uint32_t capacity_, double min_ratio_);

    // Grows window in place to hold the cube of radius H = 5 D about the
    // centre of the blocks' bounding box (D its largest extent); returns H.
    // Without blocks the window stays as it is.
    static double EnlargeWindow(const std::vector<const Cuboid*>& cuboids, Cuboid& window);
    // Whether every grid coordinate of window, doubled, fits in a 32-bit int,
    // so that differences of grid coordinates inside it cannot overflow.
    static bool FitsGrid(const Cuboid& window);
    // Enlarges window, creates the manager over it (capacity 5, min_ratio
    // 1 / H), sets block 0 as master and inserts every block in order.
    // Returns null, with the window already enlarged, when the enlarged
    // window does not fit the grid.
    static Spacemanager* Build(const std::vector<const Cuboid*>& cuboids, Cuboid& window,
                               bool geometry_leaves = true);
    // Smallest half side a leaf may split to: a fraction of the smallest
    // block extent, so that leaves shrink with the geometry rather than
    // stopping at a fixed share of the window.
    static int64_t LeafFloor(const std::vector<const Cuboid*>& cuboids);
    static constexpr int64_t LEAF_FLOOR_MIN = 8;
    static constexpr uint32_t GEOMETRY_CAPACITY = 8;
    static constexpr int64_t LEAF_FLOOR_DIVISOR = 2;

    void AddCuboid(const Cuboid* c);
    void SetMaster(const Cuboid* c);

    // Leaf holding grid point g: x and z closed, y half-open at the root;
    // null outside the root.
    const OctreeNode* FindLeaf(const BaseVector3<int>& g) const;

    // Largest conductor-free cube about p (radius 0 on or in a block). p
    // must lie in the solver space.
    const Cube GetDomainCubic(const Vector3& p) const;
    double GetMaxBall(const Vector3& p) const;
    // Nearest block to g and its grid distance; dist -2147483647 and null
    // outside the solver space, 2147483647 and null for an empty leaf.
    const Cuboid* SearchNearestCuboid(const BaseVector3<int>& g, int& dist) const;
};
