// Reproducible runs, budgets, several masters in one process, and the
// chunk interface that spreads a master's walks over callers.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "extraction.h"
#include "tables_fixture.h"

namespace {

using Json = nlohmann::json;

class Seeded : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("bus_crossing.kd")); }
    // The run's JSON without what may differ between equal runs: the wall
    // times and the thread count.
    std::string Results(const std::string& args, int expect_status = 0)
    {
        RunResult r = RunIn(dir.path(), std::string(KORVA_EXE) + " -f '" + Example("bus_crossing.kd") +
                                            "' --json out.json " + args);
        EXPECT_EQ(r.status, expect_status) << args << "\n" << r.out;
        Json doc = Json::parse(ReadFile(dir.path() + "/out.json"));
        doc["options"].erase("threads");
        for (Json& m : doc["masters"])
            m.erase("seconds");
        return doc.dump();
    }
};

TEST_F(Seeded, SameSeedSameBitsForAnyThreadCountDifferentSeedDiffers)
{
    for (const char* mode : {"-t 7500", "-p 0.04"}) {
        const std::string opts = std::string(mode) + " --master m1a,gnd --seed 99";
        const std::string one = Results(opts + " -n 1");
        EXPECT_EQ(Results(opts + " -n 2"), one) << mode;
        EXPECT_EQ(Results(opts + " -n 5"), one) << mode;
        Json a = Json::parse(one), b = Json::parse(Results(std::string(mode) + " --master m1a,gnd --seed 100 -n 2"));
        for (int k = 0; k < 2; k++)
            EXPECT_NE(a["masters"][k]["entries"][0]["capacitance_F"], b["masters"][k]["entries"][0]["capacitance_F"]);
    }
    // Mode t makes exactly the walks asked for, the last chunk cut short.
    Json t = Json::parse(Results("-t 7500 --master m1a --seed 1 -n 2"));
    EXPECT_EQ(t["masters"][0]["walks"], 7500);
}

TEST_F(Seeded, BudgetsEndTheWalksWithTheTargetUnmet)
{
    Json timed = Json::parse(Results("-p 1e-6 --time-limit 0.3 -n 2", 75));
    EXPECT_EQ(timed["masters"][0]["converged"], false);
    EXPECT_GT(timed["masters"][0]["walks"].get<long long>(), 0);
    for (const char* seed : {"", "--seed 5"}) {
        Json capped = Json::parse(Results(std::string("-t 100000 --max-walks 3000 -n 2 ") + seed, 75));
        EXPECT_EQ(capped["masters"][0]["converged"], false);
        // The unseeded run checks its budget every thousand walks or so.
        EXPECT_NEAR(capped["masters"][0]["walks"].get<double>(), 3000, *seed ? 0 : 1100) << seed;
    }
}

TEST_F(Seeded, AFailingMasterIsReportedAndTheOthersGoOn)
{
    dir.Write("touch.kd", TOUCHING_WIRES);  // no task statement
    RunResult r = RunIn(dir.path(), std::string(KORVA_EXE) + " -f touch.kd --all-masters -t 2000 --json out.json");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("[3/3] master c\n"), std::string::npos) << r.out;
    Json doc = Json::parse(ReadFile(dir.path() + "/out.json"));
    EXPECT_NE(doc["masters"][0]["error"].get<std::string>().find("Conductor b (block on deck line 5) overlaps"), std::string::npos);
    EXPECT_TRUE(doc["masters"][1].contains("error"));
    EXPECT_EQ(doc["masters"][2]["converged"], true);
    EXPECT_EQ(doc["masters"][2]["entries"].size(), 4u);
}

// The space index joins the two pieces of wire a into one box; every master
// of the run must see that box as a's, whatever ids the pieces had before.
TEST_F(Seeded, JoinedPiecesFollowTheirConductorFromMasterToMaster)
{
    dir.Write("pieces.kd", R"(<vorn>
<window> v1 (-2,-2,-1) v2 (2,2,1.5) [/window]
<medium> name ox <block> name ox0 basepoint (-2,-2,-1) v1 (4,0,0) v2 (0,4,0) hvector (0,0,2.5) [/block] diel 3.9 [/medium]
<conductor> name a <block> name a0 basepoint (-0.5,-0.225,0) v1 (0.5,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block]
  <block> name a1 basepoint (0,-0.225,0) v1 (0.5,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
<conductor> name b <block> name b0 basepoint (-0.5,0.025,0) v1 (1,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
[/vorn]
)");
    RunResult r = RunIn(dir.path(), std::string(KORVA_EXE) +
                                        " -f pieces.kd --all-masters --seed 3 -t 20000 --json out.json");
    ASSERT_EQ(r.status, 0) << r.out;
    Json doc = Json::parse(ReadFile(dir.path() + "/out.json"));
    ASSERT_EQ(doc["reciprocity"].size(), 1u);
    EXPECT_LT(std::fabs(doc["reciprocity"][0]["difference_in_combined_std_errors"].get<double>()), 4.0) << doc["reciprocity"];
}

// Chunks run one by one through the library and merged in order give the
// row that a threaded seeded run gives, to the bit.
TEST_F(Seeded, ChunksMergedInOrderRebuildTheSeededRow)
{
    DeckLists lists;
    ASSERT_EQ(LoadDeck(Example("bus_crossing.kd").c_str(), lists), 0);
    Extraction ex(lists);
    ExtractionSettings s;
    s.end_mode = 'p';
    s.target_error = 0.05;
    s.threads = 2;
    s.seeded = true;
    s.seed = 2024;
    s.console = false;
    testing::internal::CaptureStdout();
    // A name the deck lacks gives a row that says so, and the next
    // master runs as if it had not been asked for.
    MasterRow missing = ex.Run("m9", s);
    MasterRow row = ex.Run("m2b", s);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(missing.error, "no conductor named m9 in the deck\n");
    EXPECT_TRUE(missing.cap.empty() && missing.walks == 0);
    ASSERT_TRUE(row.error.empty());
    ASSERT_TRUE(row.converged);

    std::string error;
    ASSERT_TRUE(ex.SelectMaster("m2b", error));
    StratumStores st(ex.Slots());
    StopRule rule;
    rule.mode = 'p';
    rule.target_error = 0.05;
    ChunkMerger merger(rule, ex.FaceShare(), st.is_sum, st.is_sum2, st.is_count.data(), ex.Slots());
    ChunkSums c;
    for (long long k = 0; !merger.stopped; k++) {
        ex.RunChunk(2024, k, merger.WalksOfChunk(k), c);
        merger.Merge(c, 0.0);
    }
    EXPECT_EQ(merger.walks, row.walks);
    EXPECT_EQ(merger.hops, row.hops);
    for (int slot = 0; slot < ex.Slots(); slot++) {
        double mean, err;
        merger.Estimate(slot, mean, err);
        EXPECT_EQ(mean * EPS0, row.cap[slot]) << slot;
        EXPECT_EQ(err * EPS0, row.err[slot]) << slot;
    }
}

// A chunk zeroes and merges only the slots its walks reached: reused chunk
// after chunk, it must merge as the whole rows of the same sums merge.
TEST(ChunkSums, ReusedChunksMergeAsTheirWholeRows)
{
    const int slots = 37;
    StratumStores sparse(slots), whole(slots);
    StopRule rule;
    rule.target_walks = 1LL << 40;
    const double share[CHUNK_STRATA] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    ChunkMerger a(rule, share, sparse.is_sum, sparse.is_sum2, sparse.is_count.data(), slots);
    ChunkMerger b(rule, share, whole.is_sum, whole.is_sum2, whole.is_count.data(), slots);
    std::mt19937 rng(3);
    ChunkSums c;
    for (int k = 0; k < 40; k++) {
        c.Begin(k, slots);
        for (double v : c.sum)
            ASSERT_EQ(v, 0.0) << "chunk " << k;
        // Few slots in most chunks, all of them in some.
        const int adds = k % 7 == 0 ? 400 : (int)(rng() % 5);
        for (int i = 0; i < adds; i++)
            c.Add((int)(rng() % CHUNK_STRATA), (int)(rng() % slots), (double)rng() / rng.max() - 0.4);
        c.walks = adds;
        ChunkSums copy = c;
        copy.every = true;
        a.Merge(c, 0.0);
        b.Merge(copy, 0.0);
    }
    EXPECT_EQ(sparse.rows, whole.rows);
    EXPECT_EQ(sparse.is_count, whole.is_count);
}

// Two extractions of decks with different stacks (one medium, three media)
// live side by side in one process: run alone, interleaved and on two
// threads at once, each master gives the same bits.
TEST_F(Seeded, TwoDecksSideBySideGiveTheRowsTheyGiveAlone)
{
    const struct {
        const char* deck;
        std::vector<const char*> masters;
    } decks[2] = {{"two_wires.kd", {"wire1", "wire2"}}, {"bus_crossing.kd", {"m2b", "m1a"}}};
    ExtractionSettings s;
    s.end_mode = 't';
    s.target_walks = 3000;
    s.threads = 2;
    s.seeded = true;
    s.seed = 77;
    s.console = false;
    auto same = [](const MasterRow& a, const MasterRow& b) {
        return a.error.empty() && a.walks == b.walks && a.hops == b.hops && a.cap == b.cap && a.err == b.err;
    };
    testing::internal::CaptureStdout();
    std::vector<MasterRow> alone[2];
    for (int d = 0; d < 2; d++) {
        DeckLists lists;
        ASSERT_EQ(LoadDeck(Example(decks[d].deck).c_str(), lists), 0);
        Extraction ex(lists);
        for (const char* m : decks[d].masters)
            alone[d].push_back(ex.Run(m, s));
    }
    DeckLists lists[2];
    for (int d = 0; d < 2; d++)
        ASSERT_EQ(LoadDeck(Example(decks[d].deck).c_str(), lists[d]), 0);
    Extraction a(lists[0]), b(lists[1]);
    Extraction* ex[2] = {&a, &b};
    for (int k = 0; k < 2; k++)
        for (int d = 0; d < 2; d++)
            EXPECT_TRUE(same(ex[d]->Run(decks[d].masters[k], s), alone[d][k])) << decks[d].deck << " " << k;
    std::vector<MasterRow> threaded[2];
    std::thread t0([&] { for (const char* m : decks[0].masters) threaded[0].push_back(a.Run(m, s)); });
    std::thread t1([&] { for (const char* m : decks[1].masters) threaded[1].push_back(b.Run(m, s)); });
    t0.join();
    t1.join();
    testing::internal::GetCapturedStdout();
    for (int d = 0; d < 2; d++)
        for (size_t k = 0; k < 2; k++)
            EXPECT_TRUE(same(threaded[d][k], alone[d][k])) << decks[d].deck << " " << k;
    EXPECT_NE(alone[0][0].cap, alone[1][0].cap);
}

// A cube alone in space: with the window open its capacitance is the free
// cube's, 0.6606785 times 4 pi eps0 times the side, even in a window a few
// sides wide, where grounded faces add several percent. A deck of several
// media, whose exterior is no sphere's, is refused.
TEST_F(Seeded, AnOpenWindowGivesTheFreeCubesCapacitance)
{
    auto deck = [](double half, double eps_top) {
        char text[1024];
        snprintf(text, sizeof text,
                 "<vorn>\n<window> v1 (%g,%g,%g) v2 (%g,%g,%g) [/window]\n"
                 "<medium> name lo <block> name lo0 basepoint (%g,%g,%g) v1 (%g,0,0) v2 (0,%g,0) hvector (0,0,%g) "
                 "[/block] diel 1 [/medium]\n"
                 "<medium> name hi <block> name hi0 basepoint (%g,%g,0.5) v1 (%g,0,0) v2 (0,%g,0) hvector (0,0,%g) "
                 "[/block] diel %g [/medium]\n"
                 "<conductor> name c <block> name c0 basepoint (0,0,0) v1 (1,0,0) v2 (0,1,0) hvector (0,0,1) "
                 "[/block] [/conductor]\n<task> <capacitance> c [/capacitance] [/task]\n[/vorn]\n",
                 0.5 - half, 0.5 - half, 0.5 - half, 0.5 + half, 0.5 + half, 0.5 + half, 0.5 - half, 0.5 - half,
                 0.5 - half, 2 * half, 2 * half, half, 0.5 - half, 0.5 - half, 2 * half, 2 * half, half, eps_top);
        return std::string(text);
    };
    const double free_cube = 4 * M_PI * 8.8541878128e-12 * 0.6606785 * 1e-6;
    for (const char* window : {" --open-window", ""}) {
        dir.Write("cube.kd", deck(6.5, 1.0));
        RunResult r = RunIn(dir.path(), std::string(KORVA_EXE) + " -f cube.kd -t 400000 --seed 1 --json c.json" +
                                            window);
        ASSERT_EQ(r.status, 0) << r.out;
        const Json e = Json::parse(ReadFile(dir.path() + "/c.json"))["masters"][0]["entries"][0];
        const double c = e["capacitance_F"], se = e["std_error_F"];
        if (*window)
            EXPECT_LT(std::fabs(c - free_cube), 3 * se + 0.003 * free_cube) << c << " +- " << se;
        else
            EXPECT_GT(c, 1.04 * free_cube) << c << " +- " << se;
    }
    dir.Write("cube.kd", deck(6.5, 3.9));
    RunResult r = RunIn(dir.path(), std::string(KORVA_EXE) + " -f cube.kd -t 1000 --open-window");
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE((r.out + r.err).find("needs one medium"), std::string::npos) << r.out << r.err;
}

}  // namespace
