// Rule-table rows read back where the table reader takes each word, and a
// batch over patterns in the generator's layout.
#include <gtest/gtest.h>

#include <sstream>

#include "rcx_tables.h"
#include "testutil.h"

namespace {

// Master M1_w2 between M1_w1 (0.1 fF) and M1_w3 (0.2 fF), M1_w4 two wires off
// (0.05 fF), the plane (0.3 fF) and diagonal wires above: 0.7 fF in all.
TEST(RcxTables, RowsReadBackAsTheTableReaderTakesThem)
{
    const CapRow row{{"M1_w2", "M0_w0", "M1_w1", "M1_w3", "M1_w4", "M3_w5", "M3_w6"},
                     {7e-16, -3e-16, -1e-16, -2e-16, -0.5e-16, -0.04e-16, -0.02e-16}, std::vector<double>(7, 0)};
    const std::vector<std::string> wires(row.names.begin() + 2, row.names.end());
    // words: metal, under, kind, over, Dist, Width, LEN, and DiagDist, DiagWidth, DiagCC
    struct Case { std::string folder, file, words; double scale; } cases[] = {
        {"Over3/M1oM0/W0.2_W0.2/S0.4_S0.4_L10", "TYP/~/wires", "1 0 Under 0 0.4000 0.2000 10", 1},
        {"OverUnder5/M1oM0uM2/W0.14_W0.28/S0.14_S1_L20", "a/b/~", "1 0 Under 2 0.1400 0.1400 20", 2},
        {"Under3/M1uM3/W1e-05_W1e-05/S2_S2_L4", "~/wires", "1 0 Under 3 2.0000 0.0000 4", 1},
        {"UnderDiag3/M1duM3/W0.2_W0.2/S0.2_S0.5_L10", "P/~/w", "1 0 DiagUnder 3 0.2000 0.2000 10 0.5 0.2 0.004000", 1},
    };
    RcxPatternName name;
    std::string text, why;
    for (const Case& c : cases) {
        const std::string path = c.file.substr(0, c.file.find('~')) + c.folder + c.file.substr(c.file.find('~') + 1);
        ASSERT_TRUE(ParseRcxPatternName(path, name, why) && RcxTableRow(name, row, wires, c.scale, text, why)) << why;
        std::vector<std::string> w;
        std::istringstream in(text);
        for (std::string t; in >> t;)
            w.push_back(t);
        ASSERT_EQ(w.size(), c.words.size() > 40 ? 27u : 21u) << text;
        std::string got = w[1];
        for (size_t i : {3, 4, 5, 7, 9, 11, 21, 23, 25})
            got += i < w.size() - 1 ? " " + w[i] : "";
        EXPECT_EQ(got, c.words);
        EXPECT_EQ(w[0] + w[2] + w[6] + w[8] + w[10] + w[12] + w[14] + w[16] + w[18], "MetalOverDistWidthLENCCFRTCCC2");
        for (int k : {13, 15, 17, 19})  // the two neighbours, the rest of the total, the total, the next two; fF
            EXPECT_NEAR(std::stod(w[k]), (k == 13 ? 0.3 : k == 15 ? 0.4 : k == 17 ? 0.7 : 0.05) * c.scale, 1e-6) << text;
        EXPECT_EQ(w.back(), c.folder + "/wire_2");  // the name is the last word
        EXPECT_EQ(Count(text, "\n"), 1);
    }
    EXPECT_FALSE(ParseRcxPatternName("OverUnder/M1oM0uM2/W0.2_W0.2/S0.2_S0.2", name, why));  // no wire count, no L
    ASSERT_TRUE(ParseRcxPatternName("Over3/M3oM0/W1_W1/S1_S1_L10", name, why));
    EXPECT_FALSE(RcxTableRow(name, row, wires, 1, text, why));  // M1_w2 is not on metal 3
}

// Names from the folders (the files' own PATTERN records are of another
// form): every row once, in path order; a rerun skips all, same file.
TEST(RcxTables, BatchOverTheGeneratorsListWritesOneTableFile)
{
    TempDir dir;
    ASSERT_EQ(RunIn(dir.path(), std::string("mkdir bin && ") + QUILLON_EXE + " single .").status, 0);
    const std::string names[] = {"OverUnder3/M1oM0uM2/W0.2_W0.2/S0.2_S0.2_L50", "Over3/M1oM0/W0.2_W0.2/S0.2_S0.2_L50"};
    for (const std::string& n : names)
        dir.Write("TYP/" + n + "/wires", ReadFile(std::string(KORVA_SOURCE_DIR) + "/examples/patterns/M1oM0uM2_W0.2_S0.2_L10/wires"));
    dir.Write("patternFiles.TYP", "TYP/" + names[0] + "/wires\nTYP/" + names[1] + "/wires\n");
    const std::string run = std::string(KORVA_EXE) + " --batch patternFiles.TYP --out-dir res --rcx-result TYP.caps -t 100 --seed 2";
    ASSERT_EQ(RunIn(dir.path(), run).status, 0);
    const std::string table = ReadFile(dir.path() + "/TYP.caps");
    EXPECT_EQ(Count(table, "\n"), 2) << table;
    EXPECT_LT(table.find(names[1] + "/wire_2 \n"), table.find(names[0] + "/wire_2 \n"));  // "Over3" sorts first
    EXPECT_EQ(Count(RunIn(dir.path(), run).out, "meets the target"), 2);
    EXPECT_EQ(ReadFile(dir.path() + "/TYP.caps"), table);
}

}  // namespace
