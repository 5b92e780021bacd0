// Whole extractions through the built binaries: table generation,
// registration, the run and its report.
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

const std::string KORVA = KORVA_EXE;
const std::string QUILLON = QUILLON_EXE;

std::string Slab(const std::string& name, double z0, double z1, double eps)
{
    std::ostringstream s;
    s << "<medium> name " << name << "\n  <block> name " << name << "_b basepoint (-40,-40," << z0
      << ") v1 (80,0,0) v2 (0,80,0) hvector (0,0," << z1 - z0 << ") [/block]\n  diel " << eps
      << "\n[/medium]\n";
    return s.str();
}

std::string Conductor(const std::string& name, const std::string& base, const std::string& size)
{
    std::istringstream in(size);
    std::string x, y, z;
    in >> x >> y >> z;
    return "<conductor> name " + name + "\n  <block> name " + name + "_b basepoint " + base + " v1 (" +
           x + ",0,0) v2 (0," + y + ",0) hvector (0,0," + z + ") [/block]\n[/conductor]\n";
}

std::string Deck(const std::string& body, const std::string& master, const std::string& window)
{
    return "<vorn>\n<window> " + window + " [/window]\n" + body + "<task> <capacitance> " + master +
           " [/capacitance] [/task]\n[/vorn]\n";
}

// The report's parts in order, the banner first, with the formats of its times.
void ExpectReport(const std::string& out)
{
    EXPECT_EQ(out.rfind("/********************************************************\n", 0), 0u);
    size_t at = 0;
    for (const char* part : {"********************************************************/\n",
                             "Preparation of Korva used ", "\t\tRandom Walk Begins\n\n",
                             "\n\t\t==============\n\t\t Output Zone\n\t\t==============\n[Korva's Results]:\n",
                             "Kernel of Random Walk used ", "[END of Korva]\n", "Master Cap. Result: cap "}) {
        size_t found = out.find(part, at);
        EXPECT_NE(found, std::string::npos) << "out of order: " << part;
        at = found == std::string::npos ? at : found + 1;
    }
    EXPECT_TRUE(std::regex_search(out, std::regex("Preparation of Korva used [0-9]+\\.[0-9]{2} seconds\\n")));
    EXPECT_TRUE(std::regex_search(out, std::regex("Kernel of Random Walk used [0-9]+\\.[0-9]{2} seconds\\n\\[END of Korva\\]\\n")));
    EXPECT_TRUE(std::regex_search(
        out, std::regex("Master Cap\\. Result: cap -?[0-9]\\.[0-9]{3}e[+-][0-9]+ F   Cost [0-9]+\\.[0-9]{3}  s\\n$")));
}

// A folder laid out like an installation: bin/, incdata/ and the decks.
struct Install {
    TempDir dir;
    Install()
    {
        MakeDirs(dir.path() + "/bin");
        RunResult r = RunIn(dir.path(), QUILLON + " single .");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    RunResult Korva(const std::string& args) const { return RunIn(dir.path(), KORVA + " " + args); }

    // Runs `deck` with 20000 walks; each row of the output zone is value and error.
    std::map<std::string, std::pair<double, double>> Extract(const std::string& deck) const
    {
        dir.Write("run.kd", deck);
        RunResult r = Korva("-f run.kd -t 20000 -n 2");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        ExpectReport(r.out);
        std::map<std::string, std::pair<double, double>> rows;
        std::regex row("\\n *([A-Za-z_0-9]+): +([0-9.e+-]+)F      \\+/- +([0-9.e+-]+)F     (\\([0-9.]+%\\)|<~ [0-9.e+-]+F)(?=\\n)");
        for (std::sregex_iterator m(r.out.begin(), r.out.end(), row), end; m != end; ++m)
            rows[(*m)[1]] = {std::atof((*m)[2].str().c_str()), std::atof((*m)[3].str().c_str())};
        return rows;
    }
};

TEST(Extraction, CubeInVacuumMatchesItsKnownCapacitance)
{
    Install in;
    // A unit cube far from the window: 0.6607 x 4 pi eps0 = 7.35e-17 F when
    // isolated; the grounded window 40 away adds about 2%.
    auto rows = in.Extract(Deck(Slab("air", -40, 40, 1.0) + Conductor("cube", "(0,0,0)", "1 1 1"), "cube",
                                "v1 (-40,-40,-40) v2 (40,40,40)"));
    ASSERT_EQ(rows.count("cube"), 1u);
    double cap = rows["cube"].first, err = rows["cube"].second;
    EXPECT_GT(err, 0);
    EXPECT_LT(err / cap, 0.03);
    EXPECT_NEAR(cap, 7.5e-17, 4 * err + 0.02 * 7.5e-17);
}

TEST(Extraction, TwoWiresInOneMedium)
{
    Install in;
    auto rows = in.Extract(Deck(Slab("ox", -40, 40, 3.9) + Conductor("left", "(0,0,0)", "4 0.2 0.2") +
                                    Conductor("right_wire_with_a_long_name", "(0,0.4,0)", "4 0.2 0.2"),
                                "left", "v1 (-2,-2,-2) v2 (6,2,2)"));
    ASSERT_EQ(rows.size(), 2u);
    double self = rows["left"].first, coupling = rows["right_wire_with_a_long_name"].first;
    // The coupling is a large part of the self capacitance of close wires;
    // both are of the order of eps x length (about 1.4e-16 F here).
    EXPECT_GT(self, coupling);
    EXPECT_GT(coupling, 0.25 * self);
    EXPECT_GT(self, 1e-16);
    EXPECT_LT(self, 1e-15);
}

TEST(Extraction, PlatesAcrossTwoDielectrics)
{
    Install in;
    RunResult q = RunIn(in.dir.path(), QUILLON + " multi tables 3.9:2.5");
    ASSERT_EQ(q.status, 0) << q.out << q.err;
    ASSERT_EQ(in.Korva("--gft " + in.dir.path() + "/tables").status, 0);
    // Plates of 10 x 10 at distance 1, half of it 3.9 and half 2.5: the
    // series plate formula gives 2.70e-15 F, fringing adds about a fifth.
    auto rows = in.Extract(Deck(Slab("lower", -40, 0.5, 3.9) + Slab("upper", 0.5, 40, 2.5) +
                                    Conductor("bottom", "(-5,-5,-0.2)", "10 10 0.2") +
                                    Conductor("top", "(-5,-5,1)", "10 10 0.2"),
                                "bottom", "v1 (-8,-8,-3) v2 (8,8,4)"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_GT(rows["top"].first, 2.9e-15);
    EXPECT_LT(rows["top"].first, 3.6e-15);
    EXPECT_GT(rows["bottom"].first, rows["top"].first);
}

TEST(Extraction, FailuresEndWith255)
{
    Install in;
    const std::string a = Conductor("a", "(0,0,0)", "1 1 1"), window = "v1 (-4,-4,-4) v2 (4,4,4)";
    struct Case {
        std::string deck, message;
    } cases[] = {
        {Deck(Slab("ox", -40, 40, 3.9) + a + Conductor("b", "(1,0,0)", "1 1 1"), "a", window),
         "overlaps or touches the master conductor a (block on deck line"},
    };
    for (const Case& c : cases) {
        in.dir.Write("bad.kd", c.deck);
        RunResult r = in.Korva("-f bad.kd -t 2000");
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
}

}  // namespace
