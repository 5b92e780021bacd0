// Batches: a broken input is contained and recorded, finished results are
// skipped on a rerun, shards split a list exactly, and the summary CSV.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

#include "tables_fixture.h"

namespace {

using Json = nlohmann::json;

class Batch : public TablesWorkdir {
protected:
    void SetUp() override
    {
        MakeTables(Example("two_wires.kd"));
        const std::string deck = ReadFile(Example("two_wires.kd"));
        std::string list = "# five decks and a broken one\n";
        for (std::string name : {"a", "b", "c", "d", "e"}) {
            dir.Write("decks/" + name + ".kd", deck);
            list += "decks/" + name + ".kd\n";
        }
        dir.Write("decks/broken.kd", "<vorn>\n<window> v1 (0,0,0) v2 (1,1\n");
        list += "\ndecks/broken.kd\n";
        dir.Write("list.txt", list);
    }
    RunResult Run(const std::string& args)
    {
        return RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -t 1500 --seed 3 " + args);
    }
    Json Result(const std::string& rel) { return Json::parse(ReadFile(dir.path() + "/" + rel)); }
    static int Count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }
};

TEST_F(Batch, BrokenInputIsRecordedRerunSkipsTheFinishedAndMergeCollectsAll)
{
    RunResult r = Run("--out-dir out");
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_EQ(Count(r.out, ": done"), 5) << r.out;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        Json doc = Result(std::string("out/") + name + ".json");
        EXPECT_EQ(doc["masters"][0]["converged"], true) << name;
        EXPECT_EQ(doc["masters"][0]["walks"], 1500) << name;
    }
    Json bad = Result("out/broken.json");
    EXPECT_EQ(bad["failed"], true);
    EXPECT_EQ(bad["error"], "exit status 255");
    EXPECT_FALSE(bad["log_tail"].get<std::string>().empty());

    // Resume: the five are skipped, the broken one is tried again.
    r = Run("--out-dir out");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(Count(r.out, ": skipped"), 5) << r.out;
    EXPECT_EQ(Count(r.out, "FAILED"), 1) << r.out;
    // A stricter target than the results met runs them again.
    r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -t 2500 --seed 3 --out-dir out");
    EXPECT_EQ(Count(r.out, ": skipped"), 0) << r.out;
    EXPECT_EQ(Result("out/a.json")["masters"][0]["walks"], 2500);

    // Five decks of two wires and the window, then the failed input.
    RunResult csv = RunIn(dir.path(), std::string(KORVA_EXE) + " --merge out");
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("result,deck,status,master,conductor,capacitance_F,std_error_F\n", 0), 0u) << csv.out;
    EXPECT_EQ(Count(csv.out, ",ok,wire1,"), 15);
    EXPECT_EQ(Count(csv.out, "broken.json,decks/broken.kd,failed,"), 1) << csv.out;
    EXPECT_EQ(Count(csv.out, "\n"), 17);
}

TEST_F(Batch, ShardsCoverTheListExactlyOnce)
{
    std::multiset<std::string> seen;
    for (const char* shard : {"0/2", "1/2"}) {
        RunResult r = Run(std::string("--out-dir s") + shard[0] + " --shard " + shard);
        EXPECT_EQ(Count(r.out, "["), 3) << r.out;
        for (const char* name : {"a", "b", "c", "d", "e", "broken"})
            if (FILE* f = fopen((dir.path() + "/s" + shard[0] + "/" + name + ".json").c_str(), "r")) {
                seen.insert(name);
                fclose(f);
            }
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"a", "b", "c", "d", "e", "broken"}));
    // Bad shards, and files one run would write for every input alike:
    // refused before any input runs.
    for (const char* wrong : {"--shard 2/2", "--shard 1/0", "--shard -1/2", "--shard 1/2x", "--report r.html"}) {
        RunResult r = Run(std::string("--out-dir s ") + wrong);
        EXPECT_EQ(r.status, 255) << wrong;
        EXPECT_EQ(r.out.find("[1/6]"), std::string::npos) << wrong;
    }
}

}  // namespace
