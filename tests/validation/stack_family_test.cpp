// A short run of the guarded-plate stack family: stacks of three and four
// layers, where a walk using the tables of another layer than its own moves
// a coupling by tens of percent.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "tables_fixture.h"
#include "validation_cases.h"

namespace {

class StackFamily : public TablesWorkdir {};

TEST_F(StackFamily, ShortCasesAgreeWithTheSeriesCapacitor)
{
    RunResult gen = RunIn(dir.path(), "python3 '" + std::string(KORVA_SOURCE_DIR) +
                                          "/validation/stack_family.py' family --short");
    ASSERT_EQ(gen.status, 0) << gen.err;
    const std::string family = dir.path() + "/family";
    const std::vector<FamilyCase> cases = ReadFamily(family);
    ASSERT_EQ(cases.size(), 3u);
    std::set<std::string> pairs;
    for (const FamilyCase& c : cases) {
        std::istringstream in(c.pairs);
        for (std::string p; in >> p;)
            pairs.insert(p);
    }
    std::string list;
    for (const std::string& p : pairs)
        list += p + " ";
    MakeTables(list);

    ValidationSettings s = QuickSettings();
    s.rel_err = 0.03;
    s.threads = 1;  // one worker: the same walks on every run
    int seed = 900;
    for (const FamilyCase& c : cases) {
        const FamilyResult r = RunFamilyCase(s, family, c, seed++);
        for (const CaseResult* side : {&r.bottom, &r.top})
            EXPECT_TRUE(side->Passed()) << side->name << " (" << c.stack << "): " << side->value
                                        << " F vs " << side->reference << " F, deviation "
                                        << 100 * side->Deviation() << "%, tolerance "
                                        << 100 * side->Tolerance() << "%";
    }
}

}  // namespace
