// Permittivity pairs that two-decimal keys once merged, (3.9, 100.5) and
// (3.91, 0.5), each get their own tables: a stack holding both gives the
// capacitance of a stack where no two pairs can be confused.
#include <cmath>
#include <regex>

#include "install.h"

namespace {

std::pair<double, double> MasterRow(const std::string& out)
{
    std::smatch m;
    EXPECT_TRUE(std::regex_search(out, m, std::regex(" a: +([0-9.e+-]+)F +\\+/- +([0-9.e+-]+)F"))) << out;
    if (m.empty())
        return {NAN, NAN};
    return {std::stod(m[1]), std::stod(m[2])};
}

TEST(PairKeys, PairsEqualToTwoDecimalsKeepTheirOwnTables)
{
    TempDir dir;
    MakeInstall(dir.path(), "3.9:100.5 100.5:3.91 3.91:0.5 3.9:100.4 100.4:3.91");
    // 100.4 instead of 100.5 changes the capacitance far less than its error.
    for (const char* mid : {"100.5", "100.4"}) {
        std::string deck = StackDeck({{"m1", 0, 1.5, 3.9}, {"m2", 1.5, 2.5, std::stod(mid)},
                                      {"m3", 2.5, 3.5, 3.91}, {"m4", 3.5, 6, 0.5}});
        dir.Write(std::string("d") + mid + ".kd", deck);
    }
    RunResult both = Korva(dir.path(), "-f d100.5.kd -t 20000 -n 2");
    RunResult apart = Korva(dir.path(), "-f d100.4.kd -t 20000 -n 2");
    ASSERT_EQ(both.status, 0) << both.out;
    ASSERT_EQ(apart.status, 0) << apart.out;
    auto [c1, e1] = MasterRow(both.out);
    auto [c2, e2] = MasterRow(apart.out);
    // Merged keys gave three times the capacitance, many errors away.
    EXPECT_LT(std::fabs(c1 - c2), 5 * std::hypot(e1, e2)) << c1 << " +/- " << e1 << " vs " << c2 << " +/- " << e2;
}

}  // namespace
