// The single-medium files Korva loads and the pairs a deck asks for. Pair
// files are checked by every multi-dielectric run that loads them.
#include <gtest/gtest.h>

#include <cmath>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "deckpairs.h"
#include "tablefiles.h"
#include "testutil.h"

TEST(SingleFiles, HaveTheLayoutsKorvaReads)
{
    TempDir tmp;
    ASSERT_TRUE(WriteSingleTables(tmp.path()));
    std::string cm = tmp.path() + "/incdata/Common/binary/single/", is = tmp.path() + "/incdata/IS/binary/single/";
    const int N = 5766;
    std::vector<double> gft = ReadDoubles(cm + "GFT_single_31.db"), w = ReadDoubles(cm + "single_weight_31.db");
    std::vector<double> sums = ReadDoubles(is + "single_weight_31.db"), pdf = ReadDoubles(is + "pdf_single_weight_31.db");
    ASSERT_EQ(gft.size(), (size_t)N);
    ASSERT_EQ(w.size(), 3u * N);
    ASSERT_EQ(sums.size(), 3u);
    ASSERT_EQ(pdf.size(), 3u * N);
    EXPECT_EQ(ReadDoubles(is + "GFT_single_31.db"), gft);
    double total = 0;
    for (double p : gft) total += p;
    EXPECT_NEAR(total, 1.0, 1e-12);
    for (int d = 0; d < 3; ++d) {
        double s = 0, a = 0;
        for (int i = d * N; i < (d + 1) * N; ++i) {
            s += pdf[i];
            a += std::fabs(w[i]);
            ASSERT_NEAR(pdf[i], std::fabs(w[i]) / sums[d], 1e-15);
        }
        EXPECT_NEAR(s, 1.0, 1e-12);
        EXPECT_NEAR(a, sums[d], 1e-12);
    }
    // Direction z, top face: weights point up, bottom face down.
    EXPECT_GT(w[2 * N + 5 * 961 + 480], 0.0);
    EXPECT_LT(w[2 * N + 0 * 961 + 480], 0.0);
}

// A disk that fills up mid-file: quillon names the file and the reason,
// fails, and every file it leaves is a whole table under its own name.
TEST(SingleFiles, AFullDiskLeavesNoPartialTable)
{
    TempDir full, cut;
    ASSERT_TRUE(WriteSingleTables(full.path()));
    RunResult r = RunIn(cut.path(), "{ trap '' XFSZ; ulimit -f 100; '" + std::string(QUILLON_EXE) + "' single .; }");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("quillon: cannot write ./incdata/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::string(".db: ") + std::strerror(EFBIG) + "\n"), std::string::npos) << r.err;
    std::istringstream left(RunIn(cut.path(), "find . -type f").out);
    int whole = 0;
    for (std::string f; std::getline(left, f); whole++)
        EXPECT_TRUE(ReadFile(cut.path() + "/" + f) == ReadFile(full.path() + "/" + f) &&
                    ReadFile(full.path() + "/" + f).size() > 0) << f;
    EXPECT_GT(whole, 0);
}

std::string Layer(const std::string& name, const std::string& base, const std::string& h, const char* diel)
{
    return "<medium> name m" + name + " <block> name l" + name + " basepoint " + base +
           " v1 (20,0,0) v2 (0,20,0) hvector " + h + " [/block] diel " + diel + " [/medium]\n";
}

// The generator's deck mode: the pairs of the deck's stack, bottom up.
TEST(DeckPairs, FollowTheStackBottomUp)
{
    TempDir tmp;
    std::string deck = tmp.Write("stack.kd", "<vorn>\n<window> v1 (0,0,0) v2 (20,20,10) [/window]\n" +
                                                 Layer("1", "(0,0,0)", "(0,0,2)", "3.9") +
                                                 Layer("2", "(0,0,2)", "(0,0,3)", "2.5") +
                                                 Layer("3", "(0,0,5)", "(0,0,5)", "3.9") +
                                                 "<conductor> name n1 <block> name b1 basepoint (5,5,3) v1 (10,0,0) "
                                                 "v2 (0,0.5,0) hvector (0,0,0.3) [/block] [/conductor]\n"
                                                 "<task> <capacitance> n1 [/capacitance] [/task]\n[/vorn]\n");
    std::vector<DielPair> pairs;
    ASSERT_TRUE(PairsFromDeck(deck.c_str(), pairs));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ((std::vector<double>{pairs[0].dlow, pairs[0].dhigh, pairs[1].dlow, pairs[1].dhigh}),
              (std::vector<double>{3.9, 2.5, 2.5, 3.9}));
}
