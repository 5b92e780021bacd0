// The cross-section solver's media against the plate formulas: widening two
// plates as wide as the box adds a strip of one-dimensional field, so the
// charge grows by exactly the strip's series or parallel capacitance on any
// grid that holds the interfaces; media in the wrong cells miss by tens of
// percent.
#include <gtest/gtest.h>

#include <vector>

#include "fd2d.h"

namespace {

const double EPS0 = 8.854187817e-18;  // F/um
const double GAP = 0.2;                // between the plates, um

// The master plate along the box's top, the grounded box's bottom under it,
// the media given as functions of the box's width.
double MasterCharge(double width, double h, std::vector<Medium2> (*media)(double))
{
    Fd2dProblem p;
    p.box = {0, 0, width, GAP + 0.05};
    p.conductors = {{0, GAP, width, GAP + 0.05}};
    p.eps_r = 3.9;
    p.media = media(width);
    return Fd2dCharges(p, h)[0];
}

// 0.03 um of 7 and 0.04 um of 1 in 3.9; the band of 2.5 is hidden by the
// later band of 3.9 wherever the plates are: later rectangles win.
std::vector<Medium2> Films(double w)
{
    return {{{-1, -1, w + 1, 0.2}, 2.5}, {{-1, 0, w + 1, 0.3}, 3.9}, {{0, 0.02, w, 0.05}, 7.0},
            {{0, 0.05, w, 0.09}, 1.0}};
}

// Stripes 0.1 um wide, 7 and 2.5 in turn, from plate to plate: the wider
// box has ten more interfaces, whose edges carry the field.
std::vector<Medium2> SideBySide(double w)
{
    std::vector<Medium2> m;
    for (int i = 0; i * 0.1 < w - 1e-9; ++i)
        m.push_back({{i * 0.1, 0, (i + 1) * 0.1, GAP}, i % 2 ? 2.5 : 7.0});
    return m;
}

TEST(Fd2dMedia, WideningThePlatesAddsTheStripsCapacitance)
{
    struct Case {
        const char* name;
        std::vector<Medium2> (*media)(double);
        double per_um;  // the strip's capacitance per um of width, F/um^2
    } cases[] = {
        {"films in series", Films, EPS0 / (0.02 / 3.9 + 0.03 / 7.0 + 0.04 / 1.0 + 0.11 / 3.9)},
        {"media side by side", SideBySide, EPS0 * (0.5 * 7.0 + 0.5 * 2.5) / GAP},
    };
    for (const Case& c : cases)
        for (double h : {0.01, 0.005}) {
            const double grown = MasterCharge(2.0, h, c.media) - MasterCharge(1.0, h, c.media);
            EXPECT_NEAR(grown / c.per_um, 1.0, 1e-3) << c.name << ", step " << h;
        }
}

}  // namespace
