// The MPI front end: the same numbers as a seeded threaded run for any
// number of ranks and threads per rank, and a job that loses a rank fails
// without leaving a result behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <fstream>

#include "tables_fixture.h"

namespace {

using Json = nlohmann::json;

// A job that hangs fails its test instead of blocking the suite.
const std::string MPIEXEC = "timeout 120 " + std::string(MPIEXEC_EXE) + " --oversubscribe --allow-run-as-root";

std::string Mpirun(int ranks)
{
    return MPIEXEC + " -np " + std::to_string(ranks) + " ";
}

class Mpi : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("bus_crossing.kd")); }
    // Walks, hops, every entry of every master and the floating
    // conductors' potentials: what must not depend on how the chunks were
    // spread.
    Json Numbers(const std::string& launcher, const std::string& args)
    {
        unlink((dir.path() + "/out.json").c_str());
        RunResult r = RunIn(dir.path(), launcher + " -f '" + Example("bus_crossing.kd") +
                                            "' --master m1a,gnd --seed 41 --json out.json " + args);
        EXPECT_EQ(r.status, 0) << launcher << args << "\n" << r.out << r.err;
        Json doc = Json::parse(ReadFile(dir.path() + "/out.json"), nullptr, false);
        Json kept = Json::array();
        for (const Json& m : doc["masters"])
            kept.push_back({m["walks"], m["hops"], m["converged"], m["entries"], m.value("floating_potentials", Json())});
        return kept;
    }
};

TEST_F(Mpi, AnyRanksAndThreadsGiveTheThreadedSeededNumbers)
{
    const std::string mpi = std::string(KORVA_MPI_EXE);
    // With a crossing wire floating, the chunks' potentials travel too, and
    // those of chunks dropped past the stopping point count nowhere.
    for (const char* mode : {"-t 4500", "-p 0.05 --floating m2a"}) {
        const Json one = Numbers(KORVA_EXE, std::string(mode) + " -n 1");
        ASSERT_EQ(one.size(), 2u);
        EXPECT_EQ(one[0][4].size(), std::string(mode).find("m2a") != std::string::npos ? 1u : 0u) << mode;
        EXPECT_EQ(Numbers(KORVA_EXE, std::string(mode) + " -n 2"), one) << mode;
        EXPECT_EQ(Numbers(Mpirun(1) + mpi, std::string(mode) + " -n 2"), one) << mode;
        EXPECT_EQ(Numbers(Mpirun(2) + mpi, std::string(mode) + " -n 1"), one) << mode;
        EXPECT_EQ(Numbers(Mpirun(3) + mpi, std::string(mode) + " -n 2"), one) << mode;
        // Ranks with different numbers of threads: rank 0 with one, rank 1 with three.
        const std::string rank0 = Mpirun(1) + mpi + " -f '" + Example("bus_crossing.kd") +
                                  "' --master m1a,gnd --seed 41 --json out.json " + mode +
                                  " -n 1 : -np 1 " + mpi;
        EXPECT_EQ(Numbers(rank0, std::string(mode) + " -n 3"), one) << mode;
    }
}

// Both programs run their masters through one loop: a master no rank can
// enclose is reported and skipped as bin/korva skips it, and the rest go on.
TEST_F(Mpi, AFailingMasterIsReportedAndSkippedAsKorvaDoes)
{
    dir.Write("touch.kd", TOUCHING_WIRES);
    Json masters[2];
    const std::string launchers[2] = {KORVA_EXE, Mpirun(2) + KORVA_MPI_EXE};
    for (int k = 0; k < 2; k++) {
        unlink((dir.path() + "/out.json").c_str());
        RunResult r = RunIn(dir.path(), launchers[k] + " -f touch.kd --all-masters --seed 9 -t 3000 --json out.json");
        EXPECT_EQ(r.status, 255) << launchers[k] << "\n" << r.out << r.err;
        for (const char* said : {"[1/3] master a\n", "[2/3] master b\n", "[3/3] master c\n", "[END of Korva]"})
            EXPECT_NE(r.out.find(said), std::string::npos) << launchers[k] << ": " << said << "\n" << r.out;
        masters[k] = Json::parse(ReadFile(dir.path() + "/out.json"))["masters"];
        for (Json& m : masters[k])
            m.erase("seconds");
    }
    ASSERT_EQ(masters[0].size(), 3u);
    EXPECT_TRUE(masters[0][0].contains("error"));
    EXPECT_EQ(masters[0][2]["converged"], true);
    EXPECT_EQ(masters[1], masters[0]);
}

// Many masters go whole to the ranks: each row is bin/korva's seeded row,
// its floating potentials included, the job speaks once, and the rows of a
// stopped run (here bin/korva's) are taken up as bin/korva takes them up.
TEST_F(Mpi, ManyMastersGoWholeToRanksWithKorvasRowsAndResume)
{
    const std::string run = " -f '" + Example("dense_bus.kd") + "' --all-masters --seed 3 -t 300 --floating x3 ";
    ASSERT_EQ(RunIn(dir.path(), KORVA_EXE + run + "-n 2 --json whole.json").status, 0);
    ASSERT_EQ(RunIn(dir.path(), KORVA_EXE + run + "--json /dev/full --csv part.csv").status, 255);
    std::ifstream in(dir.path() + "/part.csv.partial");
    std::string text, line;
    for (int i = 0; i < 5 && std::getline(in, line); i++)
        text += i < 4 ? line + "\n" : line.substr(0, line.size() / 2);
    std::ofstream(dir.path() + "/part.csv.partial") << text;
    RunResult r = RunIn(dir.path(), Mpirun(2) + KORVA_MPI_EXE + run + "-n 1 --json part.json --csv part.csv");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Resuming: 3 of 48 masters"), std::string::npos) << r.out;
    auto count = [&r](const std::string& what) {
        size_t n = 0;
        for (size_t at = r.out.find(what); at != std::string::npos; at = r.out.find(what, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(count("Seed: 3 "), 1u) << r.out;
    EXPECT_EQ(count("Total random walks: "), 45u) << r.out;
    EXPECT_EQ(access((dir.path() + "/part.csv.partial").c_str(), F_OK), -1);
    auto rows = [this](const std::string& name) {
        Json doc = Json::parse(ReadFile(dir.path() + "/" + name));
        for (Json& m : doc["masters"])
            m.erase("seconds");
        return Json{doc["masters"], doc["symmetric_matrix"], doc["reciprocity"], doc["floating"]};
    };
    const Json whole = rows("whole.json");
    int reached = 0;
    for (const Json& m : whole[0])
        reached += m.contains("floating_potentials");
    EXPECT_GT(reached, 10);
    EXPECT_EQ(rows("part.json"), whole);
}

TEST_F(Mpi, LosingARankFailsTheJobAndWritesNoResult)
{
    // Rank 1 is killed a second into walks that would take minutes.
    const std::string run = "exec '" + std::string(KORVA_MPI_EXE) + "' -f '" + Example("bus_crossing.kd") +
                            "' --master m1a --seed 3 -t 200000000 --json out.json";
    const std::string script = "if [ \"$OMPI_COMM_WORLD_RANK\" = 1 ]; then (sleep 1; kill -9 $$) & fi; " + run;
    dir.Write("rank.sh", script);
    RunResult r = RunIn(dir.path(), Mpirun(2) + "sh rank.sh");
    EXPECT_NE(r.status, 0) << r.out << r.err;
    EXPECT_EQ(access((dir.path() + "/out.json").c_str(), F_OK), -1);
    EXPECT_EQ(r.out.find("[END of Korva]"), std::string::npos);
}

TEST_F(Mpi, RanksThatDisagreeOrFailEndTheWholeJobAndSayWhy)
{
    // Rank 1 works in its own folder: the same tables, or single-medium
    // tables that differ in the last bit of one value, or that lack a file.
    const std::string table = "incdata/IS/binary/single/GFT_single_31.db";
    std::string bytes = ReadFile(dir.path() + "/" + table);
    ASSERT_GT(bytes.size(), 1000u);
    bytes[800] ^= 1;
    ASSERT_EQ(RunIn(dir.path(), "for d in same flipped missing; do mkdir $d && cp -r incdata bin $d; done && "
                                "rm missing/" + table).status, 0);
    std::ofstream(dir.path() + "/flipped/" + table, std::ios::binary) << bytes;
    const std::string korva = " '" + std::string(KORVA_MPI_EXE) + "' -f ";
    const std::string job = "--master m1a --seed 41 -t 300 --json out.json";
    const std::string deck = "'" + Example("bus_crossing.kd") + "' ";
    struct Fault {
        const char* folder;  // rank 1's working folder
        std::string deck;    // rank 1's deck
        int seed;
        std::vector<std::string> said;
    } faults[] = {
        {"same", Example("two_wires.kd"), 41, {"rank 1 differs from rank 0 in: deck contents (", "two_wires.kd)"}},
        {"same", Example("bus_crossing.kd"), 42,
         {"rank 1 differs from rank 0 in: options (-t 300 --seed 41 --master m1a vs -t 300 --seed 42 --master m1a)"}},
        {"flipped", Example("bus_crossing.kd"), 41, {"rank 1 differs from rank 0 in: table contents (", "/flipped/incdata"}},
        {"same", "/nonexistent.kd", 41, {"rank 1: cannot open file: /nonexistent.kd", "rank 1 cannot go on"}},
        // Found deep in the preparation, where the rank leaves at once.
        {"missing", Example("bus_crossing.kd"), 41, {"rank 1: cannot open file ", "GFT_single_31.db"}},
    };
    for (const Fault& f : faults) {
        const std::string run = MPIEXEC + " -n 1" + korva + deck + job + " : -n 1 -wdir '" +
                                dir.path() + "/" + f.folder + "'" + korva + "'" + f.deck + "' --master m1a --seed " +
                                std::to_string(f.seed) + " -t 300 --json out.json";
        RunResult r = RunIn(dir.path(), run);
        EXPECT_EQ(r.status, 255) << f.deck << f.seed << "\n" << r.out << r.err;
        for (const std::string& s : f.said)
            EXPECT_NE((r.out + r.err).find(s), std::string::npos) << f.deck << f.seed << ": " << s << "\n" << r.out << r.err;
        EXPECT_EQ(access((dir.path() + "/out.json").c_str(), F_OK), -1) << f.deck << f.seed;
    }
}

}  // namespace
