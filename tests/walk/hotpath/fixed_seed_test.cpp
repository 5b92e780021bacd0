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
        {"bus_crossing.kd", 20019, 242177,
         {0x1.b7c73b619290ap-51, -0x1.f961d44cabf46p-52, -0x1.2557139288dffp-52,
          -0x1.c4c2a701d8582p-56, -0x1.a1ad3145f3f5cp-56},
         {0x1.cf1674aa69558p-57, 0x1.9c79a7032240ep-57, 0x1.459d95ffb17cfp-57,
          0x1.0c173575ffedp-58, 0x1.f50425289495dp-59}},
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
