// The files Korva loads: sizes, headers, folders, names that pass its
// filters, consistency between the kinds, atomic writing and the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cubesolver.h"
#include "deckpairs.h"
#include "layers.h"
#include "tablefiles.h"
#include "testutil.h"

namespace {

std::vector<double> ReadDoubles(const std::string& path)
{
    std::string bytes = ReadFile(path);
    std::vector<double> v(bytes.size() / 8);
    std::memcpy(v.data(), bytes.data(), v.size() * 8);
    return v;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The loader's name filter per packet type (trans, htrans, wei, hwei, pdf, hpdf).
bool Accepts(int type, const std::string& base)
{
    if (base.size() < 3 || base.substr(base.size() - 3) != ".db") return false;
    switch (type) {
    case 0: return StartsWith(base, "NumGFT") && !StartsWith(base, "NumGFT_IS");
    case 1: return StartsWith(base, "hNumGFT") && !StartsWith(base, "hNumGFT_IS");
    case 2: return StartsWith(base, "NumWVT");
    case 3: return StartsWith(base, "hNumWVT");
    case 4: return StartsWith(base, "NumGFT_IS") || StartsWith(base, "NumWVT");
    default: return StartsWith(base, "hNumGFT_IS") || StartsWith(base, "hNumWVT");
    }
}

struct Scan {
    const char* dir;
    int type;
    int segnum;
    size_t body;
};
// Every folder/packet combination Korva scans, with the shape it expects.
const Scan SCANS[] = {
    {"COMMON/binary/MULTI/GFT", 0, 31, 172980}, {"COMMON/binary/MULTI/GFT", 1, 32, 6144},
    {"COMMON/binary/MULTI/WVT", 4, 31, 518940}, {"COMMON/binary/MULTI/WVT", 3, 32, 3},
    {"IS/binary/MULTI/WVT", 2, 31, 90},         {"IS/binary/MULTI/GFT", 4, 31, 518940},
    {"IS/binary/MULTI/GFT", 0, 31, 172980},     {"IS/binary/MULTI/GFT", 1, 32, 6144},
    {"IS/binary/MULTI/WVT", 3, 32, 3},          {"IS/binary/MULTI/GFT", 5, 32, 18432},
};

}  // namespace

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

TEST(PairFiles, LandWhereKorvaScansWithExactHeadersAndShapes)
{
    TempDir tmp;
    // A value that short decimal text cannot carry: the header must hold it exactly.
    DielPair pair{3.9, 2.5000000000000004};
    PairTables tables = SolvePair(pair);
    ASSERT_EQ(WritePairTables(tmp.path(), tables), 10);
    for (const Scan& scan : SCANS) {
        std::string dir = tmp.path() + "/" + scan.dir;
        int accepted = 0;
        for (const std::string& name : Entries(dir)) {
            if (!Accepts(scan.type, name)) continue;
            ++accepted;
            std::vector<double> v = ReadDoubles(dir + "/" + name);
            ASSERT_EQ(v.size(), 3 + scan.body) << scan.dir << "/" << name;
            EXPECT_EQ(v[0], (double)scan.segnum);
            EXPECT_EQ(v[1], pair.dlow);
            EXPECT_EQ(v[2], pair.dhigh);
        }
        EXPECT_EQ(accepted, 1) << scan.dir << " type " << scan.type;
    }
    EXPECT_TRUE(Exists(tmp.path() + "/IS/binary/MULTI/GFT/NumGFT_3.9_2.5000000000000004.db"));
    for (const char* d : {"IS/binary/MULTI/GFT", "IS/binary/MULTI/WVT", "COMMON/binary/MULTI/GFT",
                                 "COMMON/binary/MULTI/WVT"})
        for (const std::string& name : Entries(tmp.path() + "/" + d)) EXPECT_NE(name[0], '.') << name;
}

TEST(PairFiles, KindsAgreeWithEachOther)
{
    DielPair pair{1.0, 10.0};
    PairTables t = SolvePair(pair);
    std::vector<double> trans = PairFileContents(t, PairFile::TRANS);
    std::vector<double> wei = PairFileContents(t, PairFile::WEI);
    std::vector<double> pdf = PairFileContents(t, PairFile::PDF_SIGNED);
    std::vector<double> values = PairFileContents(t, PairFile::WEIGHT_VALUES);
    std::vector<double> hpdf = PairFileContents(t, PairFile::HPDF);
    std::vector<double> hwei = PairFileContents(t, PairFile::HWEI);
    // Cut position 0 is the homogeneous cube.
    CubeTable single = SolveHomogeneous();
    for (int i = 0; i < 5766; ++i) ASSERT_EQ(trans[3 + i], single.prob[i]);
    for (int a = 0; a < CUT_COUNT; ++a) {
        double total = 0;
        for (int i = 0; i < 5766; ++i) total += trans[3 + a * 5766 + i];
        EXPECT_NEAR(total, 1.0, 1e-12);
        for (int d = 0; d < 3; ++d) {
            double abs_total = 0;
            for (int i = 0; i < 5766; ++i) {
                size_t at = 3 + (a * 3 + d) * 5766 + i;
                abs_total += std::fabs(pdf[at]);
                ASSERT_NEAR(pdf[at] * wei[3 + a * 3 + d], values[at], 1e-15);
            }
            EXPECT_NEAR(abs_total, 1.0, 1e-12);
        }
    }
    for (int d = 0; d < 3; ++d) {
        double s = 0;
        for (int i = 0; i < 6144; ++i) {
            ASSERT_GE(hpdf[3 + d * 6144 + i], 0.0);
            s += hpdf[3 + d * 6144 + i];
        }
        EXPECT_NEAR(s, 1.0, 1e-12);
        EXPECT_NEAR(hwei[3 + d], t.half.AbsWeightSum(d), 1e-15);
    }
}

TEST(PairFiles, ShortDoubleReadsBackExactly)
{
    EXPECT_EQ(ShortDouble(3.9) + " " + ShortDouble(10.0) + " " + ShortDouble(2.5), "3.9 10 2.5");
    for (double x : {1e-7, 0.1 + 0.2, 11.7, 1e20, 3.9000000000000004})
        EXPECT_EQ(std::strtod(ShortDouble(x).c_str(), nullptr), x);
}

TEST(WriteDoubles, ReplacesAtomicallyAndLeavesNothingBehindOnFailure)
{
    TempDir tmp;
    std::string path = tmp.path() + "/a/b/t.db";
    ASSERT_TRUE(WriteDoubles(path, {1.0, 2.0}));
    ASSERT_TRUE(WriteDoubles(path, {3.0}));
    EXPECT_EQ(ReadDoubles(path), std::vector<double>{3.0});
    // A folder in the way of the target: the rename fails, the temporary goes.
    MakeDirs(tmp.path() + "/a/b/dir.db");
    EXPECT_FALSE(WriteDoubles(tmp.path() + "/a/b/dir.db", {1.0}));
    std::vector<std::string> left = Entries(tmp.path() + "/a/b");
    EXPECT_EQ(left.size(), 2u);
    for (const std::string& name : left) EXPECT_NE(name[0], '.') << name;
}

std::string Layer(const std::string& name, const std::string& base, const std::string& h, const char* diel)
{
    return "<medium> name m" + name + " <block> name l" + name + " basepoint " + base +
           " v1 (20,0,0) v2 (0,20,0) hvector " + h + " [/block] diel " + diel + " [/medium]\n";
}

TEST(CommandLine, WritesTablesAndRejectsBadArguments)
{
    TempDir tmp;
    auto quillon = [&](const std::string& args) { return RunIn(tmp.path(), std::string(QUILLON_EXE) + args); };
    for (const char* bad : {"", " multi", " multi out", " multi out 3.9", " multi out 2.5:2.5", " multi out x:1",
                            " multi out 3.9:-1", " multi out 3.9:2.5x", " deck", " single a b", " frobnicate"}) {
        RunResult r = quillon(bad);
        EXPECT_EQ(r.status, 255) << bad;
        EXPECT_NE(r.err.find("usage: quillon"), std::string::npos) << bad;
    }
    EXPECT_EQ(quillon(" multi out 3.9:2.5 1:10").status, 0);
    EXPECT_TRUE(Exists(tmp.path() + "/out/COMMON/binary/MULTI/WVT/NumWVT_1_10.db"));
    EXPECT_TRUE(Exists(tmp.path() + "/out/IS/binary/MULTI/GFT/hNumGFT_IS_3.9_2.5.db"));
    EXPECT_EQ(quillon(" single").status, 0);
    EXPECT_TRUE(Exists(tmp.path() + "/incdata/IS/binary/single/pdf_single_weight_31.db"));

    // A deck: the pairs of its stack, bottom up.
    const std::string tail = "<conductor> name n1 <block> name b1 basepoint (5,5,3) v1 (10,0,0) v2 (0,0.5,0)"
                             " hvector (0,0,0.3) [/block] [/conductor]\n"
                             "<task> <capacitance> n1 [/capacitance] [/task]\n[/vorn]\n";
    std::string deck = tmp.Write("stack.kd", "<vorn>\n<window> v1 (0,0,0) v2 (20,20,10) [/window]\n" +
                                                 Layer("1", "(0,0,0)", "(0,0,2)", "3.9") +
                                                 Layer("2", "(0,0,2)", "(0,0,3)", "2.5") +
                                                 Layer("3", "(0,0,5)", "(0,0,5)", "3.9") + tail);
    std::vector<DielPair> pairs;
    ASSERT_TRUE(PairsFromDeck(deck.c_str(), pairs));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ((std::vector<double>{pairs[0].dlow, pairs[0].dhigh, pairs[1].dlow, pairs[1].dhigh}),
              (std::vector<double>{3.9, 2.5, 2.5, 3.9}));
    EXPECT_EQ(quillon(" deck stack.kd out").status, 0);
    EXPECT_TRUE(Exists(tmp.path() + "/out/IS/binary/MULTI/GFT/NumGFT_3.9_2.5.db"));
    EXPECT_TRUE(Exists(tmp.path() + "/out/IS/binary/MULTI/GFT/NumGFT_2.5_3.9.db"));
    // No strata, no tables; a missing deck fails.
    tmp.Write("bare.kd", "<vorn>\n" + tail);
    EXPECT_EQ(quillon(" deck bare.kd out2").status, 0);
    EXPECT_FALSE(Exists(tmp.path() + "/out2"));
    EXPECT_EQ(quillon(" deck nosuch.kd out3").status, 255);
}

TEST(PairFiles, KorvaRegistersEveryFileOfAPair)
{
    TempDir tmp;
    ASSERT_EQ(WritePairTables(tmp.path(), SolvePair({3.9, 2.5})), 10);
    Cuboid low_block(0, 0, 0, 0, 1, 1, 1), high_block(0, 0, 0, 1, 1, 1, 2);
    Medium low(&low_block, 3.9), high(&high_block, 2.5);
    Layers stack({&low, &high});
    const DielKey key = Layers::DielHash(3.9, 2.5);
    // The common tree under selector 0 (the loader divides each weight by its
    // panel probability and checks the ratio stays below 100), then the IS tree.
    auto load = [&](int select, const char* tree, std::vector<std::pair<const char*, const PSumPacket*>> files) {
        Layers::weight_select = select;
        for (auto& f : files)
            EXPECT_TRUE(Layers::SLoadFile((tmp.path() + tree + f.first).c_str(), *f.second)) << f.first;
    };
    load(0, "/COMMON/binary/MULTI/", {{"GFT/NumGFT_3.9_2.5.db", &Layers::trans}, {"GFT/hNumGFT_3.9_2.5.db", &Layers::htrans},
                                      {"WVT/NumWVT_3.9_2.5.db", &Layers::pdf}, {"WVT/hNumWVT_3.9_2.5.db", &Layers::hwei}});
    ASSERT_EQ(Layers::psums.count(key), 1u);
    for (int a = 0; a < CUT_COUNT; ++a) EXPECT_NEAR(Layers::psums[key].first[a][5], 1.0, 1e-12);
    Layers::ResetAll();

    Layers again({&low, &high});
    load(4, "/IS/binary/MULTI/", {{"WVT/NumWVT_3.9_2.5.db", &Layers::wei}, {"GFT/NumGFT_IS_3.9_2.5.db", &Layers::pdf},
                                  {"GFT/NumGFT_3.9_2.5.db", &Layers::trans}, {"GFT/hNumGFT_3.9_2.5.db", &Layers::htrans},
                                  {"WVT/hNumWVT_3.9_2.5.db", &Layers::hwei}, {"GFT/hNumGFT_IS_3.9_2.5.db", &Layers::hpdf}});
    EXPECT_EQ(Layers::weight_array.count(key), 1u);
    EXPECT_EQ(Layers::cdf_half_weights.count(key), 1u);
    EXPECT_NEAR(Layers::cdf_half_weights[key].first[0][2][5], 1.0, 1e-12);
    Layers::ResetAll();
    Layers::weight_select = 0;
}
