// Whole blocks: sparse rows against a dense brute force, and runs whose
// files stream, resume, fail or stop on coupling targets.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "outputs.h"
#include "tables_fixture.h"

namespace {

using Json = nlohmann::json;

// Rows over conductors c0..c(n-1), masters c0..c(k-1); entry (i, j) is
// unreached (zero) with probability `holes`.
std::vector<MasterRow> RandomRows(int n, int k, double holes, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<MasterRow> rows(k);
    for (int i = 0; i < k; i++) {
        MasterRow& r = rows[i];
        r.master = "c" + std::to_string(i);
        r.conductors.push_back(r.master);
        r.cap.push_back(0), r.err.push_back(1e-18);
        for (int j = 0; j < n; j++) {
            if (j == i)
                continue;
            r.conductors.push_back("c" + std::to_string(j));
            const bool hole = u(rng) < holes;
            r.cap.push_back(hole ? 0.0 : -1e-16 * u(rng));
            r.err.push_back(hole ? 0.0 : 1e-18 * (0.1 + u(rng)));
        }
        r.cap.push_back(-1e-16), r.err.push_back(1e-18);  // the window
        for (size_t j = 1; j < r.cap.size(); j++)
            r.cap[0] -= r.cap[j];
    }
    return rows;
}

// The dense value of (a, b) in row a, or none.
bool Dense(const MasterRow& r, const std::string& b, double& c, double& e)
{
    for (size_t i = 0; i < r.conductors.size(); i++)
        if (r.conductors[i] == b && (r.cap[i] != 0 || r.err[i] != 0 || i == 0)) {
            c = r.cap[i], e = r.err[i];
            return true;
        }
    return false;
}

TEST(SparseRows, AgreeWithDenseBruteForceAndKeepRowSums)
{
    struct Case { int n, k; double holes, floor; };
    for (const Case& t : {Case{6, 6, 0.0, 0.0}, Case{30, 12, 0.6, 0.0}, Case{40, 40, 0.9, 0.0},
                          Case{25, 10, 0.3, 0.05}}) {
        SCOPED_TRACE(t.n);
        std::vector<MasterRow> rows = RandomRows(t.n, t.k, t.holes, 7 + t.n);
        SparseRows sparse;
        for (const MasterRow& r : rows) {
            const FoldedRow f = Fold(r, t.floor);
            double kept = f.other, all = 0;
            for (size_t i : f.kept)
                kept += r.cap[i];
            for (double c : r.cap)
                all += c;
            EXPECT_NEAR(kept, all, 1e-30);
            EXPECT_EQ(f.kept.size() + f.folded, r.cap.size());
            for (size_t i : f.kept)
                EXPECT_TRUE(i == 0 || i + 1 == r.cap.size() || std::fabs(r.cap[i]) >= t.floor * r.cap[0]);
            sparse.Add(r, f);
        }
        if (t.floor > 0)
            continue;  // folded couplings are absent from the pairs by design
        // Every pair seen both ways, in row order, as the dense scan finds them.
        std::vector<std::pair<std::string, std::string>> expect;
        for (int a = 0; a < t.k; a++)
            for (int b = a + 1; b < t.k; b++) {
                double c, e;
                if (Dense(rows[a], rows[b].master, c, e) && Dense(rows[b], rows[a].master, c, e))
                    expect.push_back({rows[a].master, rows[b].master});
            }
        const std::vector<ReciprocityPair> pairs = sparse.Reciprocity();
        ASSERT_EQ(pairs.size(), expect.size());
        for (size_t p = 0; p < pairs.size(); p++)
            EXPECT_EQ(std::make_pair(pairs[p].a, pairs[p].b), expect[p]);
        // The symmetric matrix: symmetric, between the two ways, one way alone
        // when only one saw the pair.
        std::vector<std::vector<double>> cap(t.k), err(t.k);
        for (int i = 0; i < t.k; i++)
            sparse.SymmetricRow(i, cap[i], err[i]);
        std::vector<std::vector<double>> listed(t.k, std::vector<double>(t.k, 0.0));
        sparse.SymmetricEntries([&](size_t i, size_t j, double c, double) {
            EXPECT_LE(i, j);
            EXPECT_EQ(listed[i][j], 0.0);  // once
            listed[i][j] = listed[j][i] = c;
        });
        EXPECT_EQ(listed, cap);
        for (int i = 0; i < t.k; i++)
            for (int j = 0; j < t.k; j++) {
                EXPECT_DOUBLE_EQ(cap[i][j], cap[j][i]);
                double c1 = 0, e1 = 0, c2 = 0, e2 = 0;
                const bool one = Dense(rows[i], rows[j].master, c1, e1), two = Dense(rows[j], rows[i].master, c2, e2);
                if (one && two)
                    EXPECT_LE(std::fabs(cap[i][j] - (c1 + c2) / 2), std::fabs(c1 - c2) / 2 * (1 + 1e-12));
                else
                    EXPECT_EQ(cap[i][j], one ? c1 : two ? c2 : 0.0);
            }
    }
}

class Blocks : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("dense_bus.kd")); }
    RunResult Korva(const std::string& args)
    {
        return RunIn(dir.path(), std::string(KORVA_EXE) + " -f '" + Example("dense_bus.kd") + "' " + args);
    }
    bool Exists(const std::string& name) { return std::ifstream(dir.path() + "/" + name).good(); }
};

// Master rows without their timings, which differ between any two runs.
Json Rows(const std::string& path)
{
    Json doc = Json::parse(ReadFile(path));
    for (Json& m : doc["masters"])
        m.erase("seconds");
    return {doc["masters"], doc["symmetric_matrix"], doc["reciprocity"]};
}

TEST_F(Blocks, AStoppedRunResumesToTheSameFilesAndBadRunsLeaveNoFinalFile)
{
    // One crossing wire floats: the rows kept for a rerun and the parts
    // merged must carry its potentials too.
    const std::string run = "--all-masters --seed 3 -t 300 -n 2 --floating x3 ";
    ASSERT_EQ(Korva(run + "--json whole.json").status, 0);
    int reached = 0;
    const Json whole = Json::parse(ReadFile(dir.path() + "/whole.json"));
    for (const Json& m : whole["masters"])
        reached += m.contains("floating_potentials") && m["floating_potentials"][0]["conductor"] == "x3";
    EXPECT_GT(reached, 10);
    // A JSON file that cannot be written fails the run; the CSV is complete,
    // and the rows stay for a rerun.
    RunResult full = Korva(run + "--json /dev/full --csv part.csv");
    EXPECT_EQ(full.status, 255);
    EXPECT_NE(full.out.find("cannot write the output file /dev/full: No space left on device"), std::string::npos);
    ASSERT_TRUE(Exists("part.csv.partial"));
    // Keep three rows and half of the fourth, as a stop would.
    std::ifstream in(dir.path() + "/part.csv.partial");
    std::string text, line;
    for (int i = 0; i < 5 && std::getline(in, line); i++)
        text += i < 4 ? line + "\n" : line.substr(0, line.size() / 2);
    std::ofstream(dir.path() + "/part.csv.partial") << text;
    RunResult resumed = Korva(run + "--json part.json --csv part.csv --progress");
    ASSERT_EQ(resumed.status, 0) << resumed.out;
    EXPECT_NE(resumed.out.find("Resuming: 3 of 48 masters"), std::string::npos);
    EXPECT_EQ(resumed.out.find("Master Cap. Result"), std::string::npos);  // a line per master instead
    EXPECT_NE(resumed.out.find("[48/48] x7:"), std::string::npos);
    EXPECT_FALSE(Exists("part.csv.partial"));
    EXPECT_EQ(Rows(dir.path() + "/part.json"), Rows(dir.path() + "/whole.json"));

    // Parts of the masters on separate runs join into the whole run.
    for (int k = 0; k < 3; k++)
        ASSERT_EQ(Korva(run + "--master-shard " + std::to_string(k) + "/3 --json s" + std::to_string(k) + ".json")
                      .status, 0);
    RunResult merged = RunIn(dir.path(), std::string(KORVA_EXE) + " --merge s2.json s0.json s1.json");
    ASSERT_EQ(merged.status, 0) << merged.err;
    std::ofstream(dir.path() + "/merged.json") << merged.out;
    EXPECT_EQ(Rows(dir.path() + "/merged.json"), Rows(dir.path() + "/whole.json"));
    EXPECT_EQ(RunIn(dir.path(), std::string(KORVA_EXE) + " --merge s0.json s1.json").status, 255);

    struct Bad { const char* args; const char* says; const char* absent; };
    std::ofstream(dir.path() + "/other.json.partial") << "{\"format\":\"korva rows of a stopped run\",\"key\":\"x\"}\n";
    for (const Bad& b : {Bad{"--master bus01,bus02,bus01 --json dup.json", "--master names bus01 more than once",
                             "dup.json"},
                         Bad{"--all-masters --seed 3 --json other.json", "rows of a run with other options",
                             "other.json"},
                         Bad{"--all-masters --coupling-min 0.1", "--coupling-min needs --coupling-error", ""}}) {
        RunResult r = Korva(b.args);
        EXPECT_EQ(r.status, 255) << b.args;
        EXPECT_NE(r.out.find(b.says), std::string::npos) << r.out;
        if (*b.absent) {
            EXPECT_FALSE(Exists(b.absent)) << b.absent;
        }
    }
}

TEST_F(Blocks, CouplingTargetsHoldForEveryLargeCoupling)
{
    struct Case { const char* mode; double e, f; };
    for (const Case& c : {Case{"-t 500", 0.08, 0.05}, Case{"-p 0.05", 0.05, 0.02}}) {
        RunResult r = Korva(std::string("--master bus03 --seed 9 -n 2 ") + c.mode + " --coupling-error " +
                            std::to_string(c.e) + " --coupling-min " + std::to_string(c.f) + " --json c.json");
        ASSERT_EQ(r.status, 0) << r.err;
        const Json m = Json::parse(ReadFile(dir.path() + "/c.json"))["masters"][0];
        const double self = m["entries"][0]["capacitance_F"];
        int large = 0;
        for (const Json& x : m["entries"]) {
            const double v = x["capacitance_F"], se = x["std_error_F"];
            if (x["conductor"] != "bus03" && std::fabs(v) > c.f * self && ++large) {
                EXPECT_LT(se, c.e * std::fabs(v)) << x.dump();
            }
        }
        EXPECT_GE(large, 2);
        EXPECT_EQ(m["converged"], true);
    }
}

}  // namespace
