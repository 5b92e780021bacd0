// The MPI front end: the same numbers as a seeded threaded run for any
// number of ranks and threads per rank, and a job that loses a rank fails
// without leaving a result behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include "tables_fixture.h"

namespace {

using Json = nlohmann::json;

std::string Mpirun(int ranks)
{
    return std::string(MPIEXEC_EXE) + " --oversubscribe --allow-run-as-root -np " + std::to_string(ranks) + " ";
}

class Mpi : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("bus_crossing.kd")); }
    // Walks, hops and every entry of every master: what must not depend
    // on how the chunks were spread.
    Json Numbers(const std::string& launcher, const std::string& args)
    {
        unlink((dir.path() + "/out.json").c_str());
        RunResult r = RunIn(dir.path(), launcher + " -f '" + Example("bus_crossing.kd") +
                                            "' --master m1a,gnd --seed 41 --json out.json " + args);
        EXPECT_EQ(r.status, 0) << launcher << args << "\n" << r.out << r.err;
        Json doc = Json::parse(ReadFile(dir.path() + "/out.json"), nullptr, false);
        Json kept = Json::array();
        for (const Json& m : doc["masters"])
            kept.push_back({m["walks"], m["hops"], m["converged"], m["entries"]});
        return kept;
    }
};

TEST_F(Mpi, AnyRanksAndThreadsGiveTheThreadedSeededNumbers)
{
    const std::string mpi = std::string(KORVA_MPI_EXE);
    for (const char* mode : {"-t 4500", "-p 0.05"}) {
        const Json one = Numbers(KORVA_EXE, std::string(mode) + " -n 1");
        ASSERT_EQ(one.size(), 2u);
        EXPECT_EQ(Numbers(KORVA_EXE, std::string(mode) + " -n 2"), one) << mode;
        EXPECT_EQ(Numbers(Mpirun(1) + mpi, std::string(mode) + " -n 2"), one) << mode;
        EXPECT_EQ(Numbers(Mpirun(2) + mpi, std::string(mode) + " -n 1"), one) << mode;
        EXPECT_EQ(Numbers(Mpirun(3) + mpi, std::string(mode) + " -n 2"), one) << mode;
    }
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

}  // namespace
