// Speed work must not change a bit of the results: seeded single-threaded
// runs give exactly these C99 hex floats; when a change of the physics (not
// of the speed) moves them, the failure prints the new values to paste here.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runner.h"
#include "tables_fixture.h"

namespace {

std::string Hex(double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

struct Golden {
    const char* deck;
    long long walks;
    long long hops;
    std::vector<double> cap;
    std::vector<double> err;
};

class FixedSeed : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("bus_crossing.kd")); }
};

TEST_F(FixedSeed, SingleThreadedRunsAreBitIdentical)
{
    const std::vector<Golden> golden = {
        {"two_wires.kd", 20019, 162064,
         {0x1.529eb6c5d81d1p-52, -0x1.fb4aa6e28aec9p-53},
         {0x1.8d5c6047799c3p-58, 0x1.40cd9ca68f8fdp-58}},
        {"bus_crossing.kd", 20019, 270838,
         {0x1.c21f8031d7be3p-51, -0x1.f42c7ae1a5da6p-52, -0x1.3837d60a04aa6p-52,
          -0x1.16ab73d7742ap-55, -0x1.be0ae735c88a3p-56},
         {0x1.ccebc4a9bd9c8p-57, 0x1.9ddaafe5ffd5bp-57, 0x1.432fd84daedb8p-57,
          0x1.07a89b69082e3p-58, 0x1.08d13a50cc46dp-58}},
    };
    for (const Golden& g : golden) {
        RunOptions o;
        o.mode = 't';
        o.walks = 20000;
        o.threads = 1;
        o.seed = 4242;
        RunOutput out;
        ASSERT_EQ(RunDeck(std::string(KORVA_SOURCE_DIR) + "/examples/" + g.deck, o, out), 0);
        std::string now = "{\"" + std::string(g.deck) + "\", " + std::to_string(out.walks) + ", " +
                          std::to_string(out.hops) + ", {";
        for (double c : out.cap)
            now += Hex(c) + ", ";
        now += "}, {";
        for (double e : out.err)
            now += Hex(e) + ", ";
        now += "}},";
        bool same = out.walks == g.walks && out.hops == g.hops && out.cap == g.cap && out.err == g.err;
        EXPECT_TRUE(same) << "now: " << now;
    }
}

}  // namespace
