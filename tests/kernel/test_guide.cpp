// The bucket shortcut of the single-medium panel search must give exactly
// the face and panel of the face-then-panel search, or stay unused.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "randomwalk.h"

namespace {

// Six faces of `panels` cumulative entries from the given probabilities.
struct Table {
    double face[6];
    std::vector<double> panel[6];
    Table(const std::vector<double>& p, int panels)
    {
        double acc = 0.0;
        for (int f = 0; f < 6; f++) {
            for (int k = 0; k < panels; k++) {
                acc += p[f * panels + k];
                panel[f].push_back(acc);
            }
            face[f] = acc;
        }
    }
};

// The reference: first face whose sum reaches r, then the first panel entry.
int Reference(const Table& t, double r)
{
    int f = 0;
    while (f < 5 && t.face[f] < r)
        f++;
    const std::vector<double>& v = t.panel[f];
    return f * (int)v.size() + (int)(std::lower_bound(v.begin(), v.end(), r) - v.begin());
}

TEST(SurfaceGuide, FindsTheSameEntryAsTheTwoStepSearch)
{
    const int panels = 31 * 31;
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> p(6 * panels);
    for (double& x : p)
        x = u(gen) < 0.05 ? 0.0 : u(gen) * u(gen) * u(gen);  // zeros give runs of equal entries
    const double total = std::accumulate(p.begin(), p.end(), 0.0);
    for (double& x : p)
        x /= total * (1 + 1e-9);  // a total just below 1: a draw can lie above it
    Table t(p, panels);
    SurfaceGuide g;
    g.Build(t.face, t.panel, panels);
    ASSERT_TRUE(g.usable);
    std::vector<double> draws;
    for (int i = 0; i < 200000; i++)
        draws.push_back((double)(uint32_t)gen() * 2.3283064365386963e-10);
    for (int f = 0; f < 6; f++)
        for (double e : t.panel[f])
            draws.push_back(e);  // draws equal to an entry pick that entry
    draws.insert(draws.end(), {0.0, 1.0 - 2.3283064365386963e-10});
    for (double r : draws)
        ASSERT_EQ(g.Find(r), Reference(t, r)) << r;
}

TEST(SurfaceGuide, StaysUnusedWhenTheFlatSearchCouldDisagree)
{
    const int panels = 4;
    void (*spoil[])(Table&) = {
        [](Table& t) { t.panel[2][1] = t.panel[2][0] - 1e-3; },  // decreasing entry
        [](Table& t) { t.face[1] += 1e-9; },                      // face sum not its last entry
        [](Table& t) { t.panel[3].pop_back(); },                  // short face
    };
    for (int i = 0; i < 3; i++) {
        Table t(std::vector<double>(6 * panels, 1.0 / 24), panels);
        spoil[i](t);
        SurfaceGuide g;
        g.Build(t.face, t.panel, panels);
        EXPECT_FALSE(g.usable) << "case " << i;
    }
}

}  // namespace
