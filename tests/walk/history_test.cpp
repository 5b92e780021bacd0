// A walk's result must not depend on what the worker's walk before it did:
// every table a walk reads has to be selected for the walk's own position.
#include "walk_support.h"

namespace {

bool Same(const Randomwalk::WalkEnd& a, const Randomwalk::WalkEnd& b)
{
    return a.slot == b.slot && a.weight == b.weight && a.id_gss == b.id_gss && a.hops == b.hops;
}

TEST(WalkHistory, SeededWalksAgreeWhicheverWalkCameBefore)
{
    InDir in(TableRoot());
    ResetStatics();
    // A plate in the middle of three layers, with ground planes in the outer
    // ones: a walk ends in another layer than the next one starts in, and
    // the Gaussian surface crosses both interfaces.
    Media stack({-0.5, 0.3, 0.64, 2.6}, {3.9, 2.5, 3.9});
    std::vector<Cuboid> boxes = {Cuboid(0, -5, -5, 0.5, 5, 5, 0.6),
                                 Cuboid(1, -20, -20, -0.5, 20, 20, 0),
                                 Cuboid(2, -20, -20, 2.1, 20, 20, 2.6)};
    Cuboid window(0, -20, -20, -0.5, 20, 20, 2.6);
    WalkMgr m;
    Stores stores(3);
    {
        CaptureOutput quiet;
        stores.Prepare(m, 't', BoxList(boxes), stack.list, 100, 0.01, &window);
    }
    // Two workers run the same seeded walks in opposite orders.
    const int walks = 256;
    std::vector<Randomwalk::WalkEnd> forward(walks), backward(walks);
    Randomwalk a(0, &m, *m.layers, 1, 4), b(1, &m, *m.layers, 1, 4);
    auto seeded = [](Randomwalk& w, int seed) {
        w.rand_walk = CRandomMersenne(seed);
        w.rand_gauss = CRandomMersenne(seed + 7919);
        return w.Walk();
    };
    for (int i = 0; i < walks; i++)
        forward[i] = seeded(a, 100 + i);
    for (int i = walks - 1; i >= 0; i--)
        backward[i] = seeded(b, 100 + i);
    int ends[3] = {0, 0, 0};
    for (int i = 0; i < walks; i++) {
        EXPECT_TRUE(Same(forward[i], backward[i]))
            << "walk " << i << ": slot " << forward[i].slot << " / " << backward[i].slot << ", hops "
            << forward[i].hops << " / " << backward[i].hops;
        if (forward[i].slot >= 0 && forward[i].slot < 3)
            ends[forward[i].slot]++;
    }
    // Walks end on both planes, so the workers' histories do differ.
    EXPECT_GT(ends[1], 0);
    EXPECT_GT(ends[2], 0);
    ResetStatics();
}

}  // namespace
