// Whole extractions through the built binaries: table generation,
// registration, the run and its report.
#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

const std::string KORVA = KORVA_EXE;
const std::string QUILLON = QUILLON_EXE;

// A folder laid out like an installation: bin/, incdata/ and the deck.
struct Install {
    TempDir dir;
    Install()
    {
        MakeDirs(dir.path() + "/bin");
        RunResult r = RunIn(dir.path(), QUILLON + " single .");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    RunResult Korva(const std::string& args) const { return RunIn(dir.path(), KORVA + " " + args); }
};

std::string Slab(const std::string& name, double z0, double z1, double eps)
{
    std::ostringstream s;
    s << "<medium> name " << name << "\n  <block> name " << name << "_b basepoint (-40,-40," << z0
      << ") v1 (80,0,0) v2 (0,80,0) hvector (0,0," << z1 - z0 << ") [/block]\n  diel " << eps
      << "\n[/medium]\n";
    return s.str();
}

std::string Conductor(const std::string& name, const std::string& block)
{
    return "<conductor> name " + name + "\n  <block> name " + name + "_b " + block +
           " [/block]\n[/conductor]\n";
}

std::string Deck(const std::string& body, const std::string& master, const std::string& window)
{
    return "<vorn>\n<window> " + window + " [/window]\n" + body + "<task> <capacitance> " + master +
           " [/capacitance] [/task]\n[/vorn]\n";
}

// The value and error of one row of the output zone.
bool Row(const std::string& out, const std::string& name, double& cap, double& err)
{
    std::regex row("\\n *" + name + ": +([0-9.e+-]+)F      \\+/- +([0-9.e+-]+)F     (\\([0-9.]+%\\)|<~ [0-9.e+-]+F)\\n");
    std::smatch m;
    if (!std::regex_search(out, m, row))
        return false;
    cap = std::atof(m[1].str().c_str());
    err = std::atof(m[2].str().c_str());
    return true;
}

void ExpectReport(const std::string& out)
{
    EXPECT_NE(out.find("\t\tRandom Walk Begins\n\n"), std::string::npos);
    EXPECT_NE(out.find("\n\t\t==============\n\t\t Output Zone\n\t\t==============\n[Korva's Results]:\n"),
              std::string::npos);
    EXPECT_TRUE(std::regex_search(out, std::regex("Preparation of Korva used [0-9]+\\.[0-9]{2} seconds\\n")));
    EXPECT_TRUE(std::regex_search(out, std::regex("Kernel of Random Walk used [0-9]+\\.[0-9]{2} seconds\\n\\[END of Korva\\]\\n")));
    EXPECT_TRUE(std::regex_search(
        out, std::regex("Master Cap\\. Result: cap -?[0-9]\\.[0-9]{3}e[+-][0-9]+ F   Cost [0-9]+\\.[0-9]{3}  s\\n$")));
    // The parts of the report come in this order, the banner first.
    EXPECT_EQ(out.rfind("/********************************************************\n", 0), 0u);
    size_t at = 0;
    for (const char* part : {"********************************************************/\n",
                             "Preparation of Korva used ", "\t\tRandom Walk Begins\n\n",
                             "\t\t Output Zone\n", "[Korva's Results]:\n",
                             "Kernel of Random Walk used ", "[END of Korva]\n",
                             "Master Cap. Result: cap "}) {
        size_t found = out.find(part, at);
        EXPECT_NE(found, std::string::npos) << "out of order: " << part;
        if (found != std::string::npos)
            at = found + 1;
    }
}

TEST(Extraction, CubeInVacuumMatchesItsKnownCapacitance)
{
    Install in;
    // A unit cube far from the window: 0.6607 x 4 pi eps0 = 7.35e-17 F when
    // isolated; the grounded window 40 away adds about 2%.
    in.dir.Write("cube.kd", Deck(Slab("air", -40, 40, 1.0) +
                                     Conductor("cube", "basepoint (0,0,0) v1 (1,0,0) v2 (0,1,0) hvector (0,0,1)"),
                                 "cube", "v1 (-40,-40,-40) v2 (40,40,40)"));
    RunResult r = in.Korva("-f cube.kd -t 20000 -n 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ExpectReport(r.out);
    double cap = 0, err = 0;
    ASSERT_TRUE(Row(r.out, "cube", cap, err)) << r.out;
    EXPECT_GT(err, 0);
    EXPECT_LT(err / cap, 0.03);
    EXPECT_NEAR(cap, 7.5e-17, 4 * err + 0.02 * 7.5e-17);
}

TEST(Extraction, TwoWiresInOneMedium)
{
    Install in;
    in.dir.Write("wires.kd",
                 Deck(Slab("ox", -40, 40, 3.9) +
                          Conductor("left", "basepoint (0,0,0) v1 (4,0,0) v2 (0,0.2,0) hvector (0,0,0.2)") +
                          Conductor("right_wire_with_a_long_name",
                                    "basepoint (0,0.4,0) v1 (4,0,0) v2 (0,0.2,0) hvector (0,0,0.2)"),
                      "left", "v1 (-2,-2,-2) v2 (6,2,2)"));
    RunResult r = in.Korva("-f wires.kd -t 20000 -n 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ExpectReport(r.out);
    double self = 0, self_err = 0, coupling = 0, coupling_err = 0;
    ASSERT_TRUE(Row(r.out, "left", self, self_err)) << r.out;
    ASSERT_TRUE(Row(r.out, "right_wire_with_a_long_name", coupling, coupling_err)) << r.out;
    EXPECT_NE(r.out.find("\nright_wire_with_a_long_name:"), std::string::npos);
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
    RunResult g = in.Korva("--gft " + in.dir.path() + "/tables");
    ASSERT_EQ(g.status, 0) << g.out;
    // Plates of 10 x 10 at distance 1, half of it 3.9 and half 2.5: the
    // series plate formula gives 2.70e-15 F, fringing adds about a fifth.
    in.dir.Write("plates.kd",
                 Deck(Slab("lower", -40, 0.5, 3.9) + Slab("upper", 0.5, 40, 2.5) +
                          Conductor("bottom", "basepoint (-5,-5,-0.2) v1 (10,0,0) v2 (0,10,0) hvector (0,0,0.2)") +
                          Conductor("top", "basepoint (-5,-5,1) v1 (10,0,0) v2 (0,10,0) hvector (0,0,0.2)"),
                      "bottom", "v1 (-8,-8,-3) v2 (8,8,4)"));
    RunResult r = in.Korva("-f plates.kd -t 20000 -n 2");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ExpectReport(r.out);
    double self = 0, self_err = 0, coupling = 0, coupling_err = 0;
    ASSERT_TRUE(Row(r.out, "bottom", self, self_err)) << r.out;
    ASSERT_TRUE(Row(r.out, "top", coupling, coupling_err)) << r.out;
    EXPECT_GT(coupling, 2.9e-15);
    EXPECT_LT(coupling, 3.6e-15);
    EXPECT_GT(self, coupling);
}

TEST(Extraction, FailuresEndWith255)
{
    Install in;
    const std::string two_media = Slab("lower", -40, 0.5, 3.9) + Slab("upper", 0.5, 40, 2.5);
    const std::string a = Conductor("a", "basepoint (0,0,0) v1 (1,0,0) v2 (0,1,0) hvector (0,0,1)");
    in.dir.Write("multi.kd", Deck(two_media + a + Conductor("b", "basepoint (0,0,2) v1 (1,0,0) v2 (0,1,0) hvector (0,0,1)"),
                                  "a", "v1 (-4,-4,-4) v2 (4,4,4)"));
    RunResult r = in.Korva("-f multi.kd -t 2000");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("cannot open bin/.gft_dir file"), std::string::npos) << r.out;

    in.dir.Write("touch.kd", Deck(Slab("ox", -40, 40, 3.9) + a +
                                      Conductor("b", "basepoint (1,0,0) v1 (1,0,0) v2 (0,1,0) hvector (0,0,1)"),
                                  "a", "v1 (-4,-4,-4) v2 (4,4,4)"));
    r = in.Korva("-f touch.kd -t 2000");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Conductor b overlaps or touches the bounding box of the master conductor a"),
              std::string::npos)
        << r.out;
}

}  // namespace
