// Masters of several blocks: cutting a solid into blocks must not change its
// row, and only a conductor that touches one of the blocks is refused.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "runner.h"
#include "tables_fixture.h"

namespace {

typedef std::vector<std::array<double, 4>> Cut;  // blocks {x0, y0, x1, y1}, each 0.2 thick

// A conductor of blocks; then a deck of oxide, a ground plane and the master `net`.
std::string Blocks(const std::string& name, const Cut& boxes)
{
    std::string s = "<conductor> name " + name + "\n";
    char buf[200];
    for (const auto& b : boxes) {
        snprintf(buf, sizeof buf, "<block> name b basepoint (%g,%g,0) v1 (%g,0,0) v2 (0,%g,0) "
                 "hvector (0,0,0.2) [/block]\n", b[0], b[1], b[2] - b[0], b[3] - b[1]);
        s += buf;
    }
    return s + "[/conductor]\n";
}

std::string Deck(const std::string& conductors)
{
    return "<vorn>\n<window> v1 (-3,-3,-1) v2 (6,6,2) [/window]\n<medium> name ox\n"
           "<block> name ox_b basepoint (-3,-3,-1) v1 (9,0,0) v2 (0,9,0) hvector (0,0,3) [/block]\n"
           "diel 3.9\n[/medium]\n<conductor> name vss\n<block> name g basepoint (-2,-2,-0.6) "
           "v1 (7,0,0) v2 (0,7,0) hvector (0,0,0.2) [/block]\n[/conductor]\n" +
           conductors + "<task> <capacitance> net [/capacitance] [/task]\n[/vorn]\n";
}

class Routed : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("two_wires.kd")); }
};

TEST_F(Routed, CuttingASolidIntoBlocksKeepsItsRow)
{
    // A wire, an L and a T, each with a neighbour (inside the bounding box of
    // the L and the T), given whole or in pieces that touch or overlap.
    const std::vector<std::pair<std::string, std::vector<Cut>>> solids = {
        {Blocks("side", {{0, 0.4, 4, 0.6}}),
         {{{0, 0, 4, 0.2}},
          {{0, 0, 2.5, 0.2}, {2.5, 0, 4, 0.2}},
          {{0, 0, 1, 0.2}, {0.8, 0, 1.8, 0.2}, {1.8, 0, 2.6, 0.2}, {2.6, 0, 3.4, 0.2},
           {3.4, 0, 4, 0.2}}}},
        {Blocks("corner", {{0.6, 0.6, 1.0, 1.0}}),
         {{{0, 0, 3, 0.2}, {0, 0.2, 0.2, 3}},
          {{0, 0, 3, 0.2}, {0, 0, 0.2, 3}},
          {{0, 0, 1.5, 0.2}, {1.5, 0, 3, 0.2}, {0, 0, 0.2, 1.2}, {0, 1.2, 0.2, 2.2},
           {0, 2.2, 0.2, 3}}}},
        {Blocks("stem_side", {{1.9, 0.5, 2.1, 2.5}}),
         {{{0, 0, 3, 0.2}, {1.4, 0.2, 1.6, 2.5}},
          {{0, 0, 1.4, 0.2}, {1.4, 0, 1.6, 0.2}, {1.6, 0, 3, 0.2}, {1.4, 0.2, 1.6, 1.2},
           {1.4, 1.2, 1.6, 2.5}}}},
    };
    RunOptions o;
    o.rel_err = 0.01;
    for (const auto& solid : solids) {
        std::vector<RunOutput> runs(solid.second.size());
        for (size_t c = 0; c < runs.size(); ++c) {
            o.seed = 11 + (int)c;
            const std::string deck = Deck(Blocks("net", solid.second[c]) + solid.first);
            ASSERT_EQ(RunDeck(dir.Write("d.kd", deck), o, runs[c]), 0);
            for (size_t k = 0; c > 0 && k < runs[c].cap.size(); ++k)
                EXPECT_NEAR(runs[c].cap[k], runs[0].cap[k],
                            3 * std::hypot(runs[c].err[k], runs[0].err[k]))
                    << runs[c].names[k] << " of net in " << solid.second[c].size() << " blocks";
        }
    }
}

TEST_F(Routed, AConductorTouchingABlockIsRefusedWithBothDeckLines)
{
    // Lines 11 and 12 hold the master's blocks, line 15 the neighbour's.
    dir.Write("bad.kd", Deck(Blocks("net", {{0, 0, 3, 0.2}, {0, 0.2, 0.2, 3}}) +
                             Blocks("corner", {{0.2, 1.0, 0.6, 1.4}})));
    RunResult r = RunIn(dir.path(), std::string("'") + KORVA_EXE + "' -f bad.kd -t 2000");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Conductor corner (block on deck line 15) overlaps or touches the master "
                         "conductor net (block on deck line 12)"), std::string::npos) << r.out;
}

}  // namespace
