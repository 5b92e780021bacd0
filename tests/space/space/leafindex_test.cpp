// Where blocks overlap, a leaf answers with the first block in its list
// among those at the least distance: the conductor a walk ends on is that
// block's, with the walk's hint or without.
#include <gtest/gtest.h>

#include "leafindex.h"

namespace {

TEST(LeafScan, FirstInListAmongTheNearestWithAndWithoutHint)
{
    const Cuboid a(1, 0, 0, 0, 1, 1, 1), b(2, 0, 0, 0, 1, 1, 1), c(3, 0, 0, 0, 1, 1, 1), e(4, 0, 0, 0, 1, 1, 1);
    const Cuboid* blocks[] = {&a, &b, &c, &e};
    // b barely holds (20, 20, 20), c holds it deep inside; c and e are both
    // 10 from (50, 20, 20).
    const BaseCuboid<int> boxes[] = {BaseCuboid<int>(0, 60, 60, 60, 70, 70, 70),
                                     BaseCuboid<int>(0, 10, 10, 10, 21, 30, 30),
                                     BaseCuboid<int>(0, 0, 0, 0, 40, 40, 40),
                                     BaseCuboid<int>(0, 60, 0, 0, 80, 40, 40)};
    LeafIndex index;
    index.Reset(BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100));
    index.SetLeaf(0, blocks, boxes, 4);

    struct Probe {
        BaseVector3<int> g;
        const Cuboid* nearest;
        int dist;
    };
    const Probe probes[] = {{{20, 20, 20}, &b, 0}, {{21, 20, 20}, &b, 0}, {{30, 20, 20}, &c, 0},
                            {{50, 20, 20}, &c, 10}, {{90, 20, 20}, &e, 10}, {{65, 65, 65}, &a, 0}};
    LeafIndex::Hint hint;
    for (const Probe& p : probes) {
        int plain = -1, first = -1, again = -1;
        EXPECT_EQ(index.Nearest(p.g, plain), p.nearest) << p.g.x;
        EXPECT_EQ(plain, p.dist) << p.g.x;
        // The first hinted search may descend; the second stays in the leaf.
        EXPECT_EQ(index.Nearest(p.g, first, hint), p.nearest) << p.g.x;
        EXPECT_EQ(index.Nearest(p.g, again, hint), p.nearest) << p.g.x;
        EXPECT_EQ(first, p.dist);
        EXPECT_EQ(again, p.dist);
    }
}

}  // namespace
