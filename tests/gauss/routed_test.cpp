// Masters of several blocks: cutting a solid into blocks must not change its
// row, and only a conductor that touches one of the blocks is refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "runner.h"
#include "testutil.h"

namespace {

struct Box {
    double x0, y0, x1, y1;  // every block spans z 0..0.2
};

std::string Num(double v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string Blocks(const std::string& name, const std::vector<Box>& boxes, double z0 = 0,
                   double z1 = 0.2)
{
    std::string s = "<conductor> name " + name + "\n";
    for (size_t i = 0; i < boxes.size(); ++i) {
        const Box& b = boxes[i];
        s += "<block> name " + name + "_" + std::to_string(i) + " basepoint (" + Num(b.x0) + "," +
             Num(b.y0) + "," + Num(z0) + ") v1 (" + Num(b.x1 - b.x0) + ",0,0) v2 (0," +
             Num(b.y1 - b.y0) + ",0) hvector (0,0," + Num(z1 - z0) + ") [/block]\n";
    }
    return s + "[/conductor]\n";
}

// Oxide, a ground plane under everything, the master `net` and its neighbours.
std::string Deck(const std::string& conductors)
{
    return "<vorn>\n<window> v1 (-3,-3,-1) v2 (6,6,2) [/window]\n<medium> name ox\n"
           "<block> name ox_b basepoint (-3,-3,-1) v1 (9,0,0) v2 (0,9,0) hvector (0,0,3) [/block]\n"
           "diel 3.9\n[/medium]\n" +
           conductors + Blocks("gnd", {{-2, -2, 5, 5}}, -0.6, -0.4) +
           "<task> <capacitance> net [/capacitance] [/task]\n[/vorn]\n";
}

class Routed : public ::testing::Test {
protected:
    void SetUp() override
    {
        RunResult r = RunIn(dir.path(), std::string("'") + QUILLON_EXE + "' single .");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }

    std::map<std::string, std::pair<double, double>> Row(const std::string& deck, int seed)
    {
        RunOptions o;
        o.mode = 'p';
        o.rel_err = 0.01;
        o.threads = 1;
        o.seed = seed;
        RunOutput out;
        EXPECT_EQ(RunDeck(dir.Write("deck.kd", deck), o, out), 0);
        std::map<std::string, std::pair<double, double>> row;
        for (size_t i = 0; i < out.names.size(); ++i)
            row[out.names[i]] = {out.cap[i], out.err[i]};
        return row;
    }

    TempDir dir;
    char old_cwd[4096] = {};
};

TEST_F(Routed, CuttingASolidIntoBlocksKeepsItsRow)
{
    struct Solid {
        const char* name;
        std::string neighbour;  // inside the master's bounding box for the L and the T
        std::vector<std::vector<Box>> cuts;
    } solids[] = {
        {"wire",
         Blocks("side", {{0, 0.4, 4, 0.6}}),
         {{{0, 0, 4, 0.2}},
          {{0, 0, 2.5, 0.2}, {2.5, 0, 4, 0.2}},
          // overlapping and touching pieces
          {{0, 0, 1, 0.2}, {0.8, 0, 1.8, 0.2}, {1.8, 0, 2.6, 0.2}, {2.6, 0, 3.4, 0.2}, {3.4, 0, 4, 0.2}}}},
        {"L",
         Blocks("corner", {{0.6, 0.6, 1.0, 1.0}}),
         {{{0, 0, 3, 0.2}, {0, 0.2, 0.2, 3}},
          {{0, 0, 3, 0.2}, {0, 0, 0.2, 3}},
          {{0, 0, 1.5, 0.2}, {1.5, 0, 3, 0.2}, {0, 0, 0.2, 1.2}, {0, 1.2, 0.2, 2.2}, {0, 2.2, 0.2, 3}}}},
        {"T",
         Blocks("stem_side", {{1.9, 0.5, 2.1, 2.5}}),
         {{{0, 0, 3, 0.2}, {1.4, 0.2, 1.6, 2.5}},
          {{0, 0, 1.4, 0.2}, {1.4, 0, 1.6, 0.2}, {1.6, 0, 3, 0.2}, {1.4, 0.2, 1.6, 1.2}, {1.4, 1.2, 1.6, 2.5}}}},
    };
    int seed = 11;
    for (const Solid& s : solids) {
        auto first = Row(Deck(Blocks("net", s.cuts[0]) + s.neighbour), seed++);
        ASSERT_EQ(first.size(), 3u) << s.name;
        for (size_t c = 1; c < s.cuts.size(); ++c) {
            auto other = Row(Deck(Blocks("net", s.cuts[c]) + s.neighbour), seed++);
            for (const auto& e : first) {
                const double a = e.second.first, b = other[e.first].first;
                const double se = std::hypot(e.second.second, other[e.first].second);
                EXPECT_NEAR(a, b, 3 * se) << s.name << " as " << s.cuts[c].size() << " blocks, "
                                          << e.first;
            }
        }
    }
}

TEST_F(Routed, OnlyAConductorTouchingABlockIsRefused)
{
    // Deck lines: 8 and 9 hold the master's blocks, 12 the neighbour's.
    const std::string l = Blocks("net", {{0, 0, 3, 0.2}, {0, 0.2, 0.2, 3}});
    struct Case {
        Box neighbour;
        const char* message;
    } cases[] = {
        {{0.2, 1.0, 0.6, 1.4}, "Conductor corner (block on deck line 12) overlaps or touches the "
                               "master conductor net (block on deck line 9)"},
        {{2.5, -0.1, 3.5, 0.1}, "Conductor corner (block on deck line 12) overlaps or touches the "
                                "master conductor net (block on deck line 8)"},
    };
    for (const Case& c : cases) {
        dir.Write("bad.kd", Deck(l + Blocks("corner", {c.neighbour})));
        RunResult r = RunIn(dir.path(), std::string("'") + KORVA_EXE + "' -f bad.kd -t 2000");
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
}

}  // namespace
