// The shells' margins face by face against brute force over every block of a
// random layout over a plane: each face stops at 95 % of the room before it
// (it meets a block or the window at m / 0.95) or at twice its conductor's
// size, never taking in another conductor or leaving the window.
#include <gtest/gtest.h>

#include "floating.h"

TEST(ShellMargins, EachFaceStopsShortOfWhatLiesBeforeIt)
{
    CRandomMersenne rnd(5);
    const Cuboid w(0, -1, -1, -1, 6, 6, 3);
    std::vector<Cuboid> boxes{Cuboid(0, -1, -1, -1, 6, 6, -0.5)};
    std::vector<int> owner{8};
    for (int i = 0; i < 50; ++i) {
        const double x = i % 5 + 0.05 + 0.4 * rnd.Random(), y = i / 5 % 5 + 0.05 + 0.4 * rnd.Random();
        const double z = 0.5 + 1.2 * (i / 25), s = 0.1 + 0.4 * rnd.Random();
        boxes.push_back(Cuboid(0, x, y, z, x + s, y + s, z + s));
        owner.push_back(i % 8);
    }
    std::vector<const Cuboid*> ptr;
    for (const Cuboid& b : boxes)
        ptr.push_back(&b);
    FloatingSet fs;
    std::string why;
    ASSERT_TRUE(fs.Build(ptr, owner, {1, 1, 1, 1, 1, 1, 0, 0, 0}, {"a", "b", "c", "d", "e", "f", "g", "h", "i"},
                         {{-FAR_POS, -1}, {FAR_POS, 3.9}}, 1.0, why, nullptr, &w));
    for (int k = 0; k < 6; ++k)
        for (int d = -1; d < 6; ++d) {
            std::array<double, 6> m = fs.margins[k];
            if (d >= 0)
                m[d] = m[d] / 0.95 + 1e-9;
            bool clear = true;
            double extent = 0.0;
            for (size_t i = 0; i < boxes.size(); ++i) {
                const Cuboid& b = boxes[i];
                const Cuboid g(0, b.x0 - m[0], b.y0 - m[2], b.z0 - m[4], b.x1 + m[1], b.y1 + m[3], b.z1 + m[5]);
                if (owner[i] != k)
                    continue;
                extent = std::max({extent, b.x1 - b.x0, b.y1 - b.y0, b.z1 - b.z0});
                clear = clear && g.x0 >= w.x0 && g.y0 >= w.y0 && g.z0 >= w.z0 && g.x1 <= w.x1 && g.y1 <= w.y1 && g.z1 <= w.z1;
                for (size_t j = 0; j < boxes.size(); ++j) {
                    const Cuboid& c = boxes[j];
                    clear = clear && (owner[j] == k || c.x0 >= g.x1 || c.x1 <= g.x0 || c.y0 >= g.y1 || c.y1 <= g.y0 ||
                                      c.z0 >= g.z1 || c.z1 <= g.z0);
                }
            }
            if (d < 0 || fs.margins[k][d] < 2 * extent - 1e-9) {
                EXPECT_EQ(clear, d < 0) << k << " " << d;
            }
        }
}
