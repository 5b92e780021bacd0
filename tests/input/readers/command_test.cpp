// The import through bin/korva: conversion, refusals that leave files
// alone, and a per-length pattern run with its result file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "import.h"
#include "parser.h"
#include "testutil.h"

namespace {

const std::string KORVA = KORVA_EXE;
const std::string EXAMPLES = std::string(KORVA_SOURCE_DIR) + "/examples/";

TEST(ImportCommand, ConvertWritesTheDeckTheRunWouldParse)
{
    TempDir dir;
    const std::string scene = EXAMPLES + "two_nets.pex25d";
    RunResult r = RunIn(dir.path(), KORVA + " --convert " + scene + " out.kd");
    ASSERT_EQ(r.status, 0) << r.out;
    ImportedInput in;
    ASSERT_EQ(ImportInput(scene, ImportSettings(), in), 0);
    EXPECT_EQ(ReadFile(dir.path() + "/out.kd"), in.deck_text);
    DeckLists lists;
    ASSERT_EQ(LoadDeck((dir.path() + "/out.kd").c_str(), lists), 0);
    EXPECT_EQ(lists.names[0], "net_a");
}

// A scene as the exporter writes it, films wrapped in films and a floating
// net included, runs as it is.
TEST(ImportCommand, ExportersOwnSceneRuns)
{
    TempDir dir;
    const std::string scene = std::string(KORVA_SOURCE_DIR) + "/tests/data/kpex/two_nets.pex25d";
    RunResult r = RunIn(dir.path(), KORVA + " -f " + scene + " --master neta -t 300 --seed 1 -n 1 --json r.json");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string json = ReadFile(dir.path() + "/r.json");
    for (const char* part : {"\"netb\"", "\"floating\"", "\"F\""})
        EXPECT_NE(json.find(part), std::string::npos) << part;
}

TEST(ImportCommand, RefusalsExit255AndLeaveTheOutputAlone)
{
    TempDir dir;
    std::string scene = ReadFile(EXAMPLES + "two_nets.pex25d");
    scene.replace(scene.find("CONDUCTOR b net_b"), 17, "CONDUCTOR b FLOATING");
    dir.Write("floating.pex25d", scene);
    dir.Write("stack.process", "DIELECTRIC ox {\n epsilon 3.9\n thickness 1\n}\n");
    dir.Write("out.kd", "previous\n");
    dir.Write("deck.kd", ReadFile(EXAMPLES + "two_wires.kd"));
    std::string touching = ReadFile(EXAMPLES + "two_wires.kd");
    touching.insert(touching.find("<task>"), "<conductor> name stub\n    <block> name s basepoint (0.5,0.025,0) v1 (0.1,0,0) "
                                             "v2 (0,0.2,0) hvector (0,0,0.2) [/block]\n[/conductor]\n");
    dir.Write("touching.kd", touching);
    struct Case {
        std::string args, message;
    } cases[] = {
        {"-f deck.kd --floating 'fill*'", "--floating fill* matches no conductor of deck.kd"},
        {"-f deck.kd --floating wire1", "conductor wire1 floats: it holds no charge"},
        {"-f deck.kd --floating 'wire?'", "every conductor of the deck floats"},
        {"-f touching.kd --floating stub", "floating conductor stub touches conductor wire2"},
        {"--convert floating.pex25d out.kd --per-length --floating-as-ground", "calibration patterns only"},
        {"--convert stack.process out.kd", "is a process file"},
        {"--convert missing.pex25d out.kd", "cannot open file: missing.pex25d"},
        {"--convert floating.pex25d", "--convert IN OUT.kd"},
        {"-f deck.kd --pattern-result out.kd", "--pattern-result applies to calibration patterns only"},
    };
    for (const Case& c : cases) {
        RunResult r = RunIn(dir.path(), KORVA + " " + c.args);
        EXPECT_EQ(r.status, 255) << c.args;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
        EXPECT_EQ(ReadFile(dir.path() + "/out.kd"), "previous\n") << c.args;
    }
    RunResult floats = RunIn(dir.path(), KORVA + " --convert floating.pex25d out.kd");
    EXPECT_EQ(floats.status, 0);
    EXPECT_NE(floats.out.find("Note: conductor b floats (charge-neutral)"), std::string::npos) << floats.out;
    RunResult ok = RunIn(dir.path(), KORVA + " --convert floating.pex25d out.kd --floating-as-ground");
    EXPECT_EQ(ok.status, 0);
    EXPECT_NE(ok.out.find("Note: floating conductor b is treated as a grounded conductor"), std::string::npos);
    EXPECT_NE(ReadFile(dir.path() + "/out.kd").find("<conductor> name b\n"), std::string::npos);
}

// A short per-length run: the result file holds the master's total, its
// couplings to both neighbours and the fringe, which is what is left of the
// total, and the neighbours' couplings are about equal (mirror symmetry).
TEST(ImportCommand, PerLengthPatternRunWritesItsResult)
{
    TempDir dir;
    MakeDirs(dir.path() + "/bin");
    ASSERT_EQ(RunIn(dir.path(), std::string(QUILLON_EXE) + " single .").status, 0);
    const std::string wires = EXAMPLES + "patterns/M1oM0uM2_W0.2_S0.2_L10/wires";
    RunResult r = RunIn(dir.path(), KORVA + " -f " + wires + " --per-length -p 0.03 -n 2 --seed 5 --pattern-result res.txt");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[Per-length row, F/um of the master's middle]:"), std::string::npos);
    std::istringstream in(ReadFile(dir.path() + "/res.txt"));
    std::string key, name, line;
    double total = 0, fringe = 0, se = 0;
    std::vector<double> couplings;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        f >> key;
        if (key == "TOTAL")
            f >> total >> se;
        else if (key == "COUPLING") {
            double c;
            f >> name >> c;
            couplings.push_back(c);
        } else if (key == "FRINGE")
            f >> fringe;
        else
            EXPECT_TRUE(key == "PATTERN" || key == "MASTER" || key == "UNIT") << line;
    }
    ASSERT_EQ(couplings.size(), 2u);
    EXPECT_NEAR(fringe, total - couplings[0] - couplings[1], 1e-6 * total);
    // Per um of a 0.2 x 0.3 um wire in oxide: of the order of 0.2 fF/um.
    EXPECT_GT(total, 1e-16);
    EXPECT_LT(total, 4e-16);
    EXPECT_NEAR(couplings[0], couplings[1], 0.25 * couplings[0]);
}

}  // namespace
