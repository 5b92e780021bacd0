// Floating conductors and their potentials against the series formulas
// and reciprocity, from fixed seeds.
#include <gtest/gtest.h>

#include <string>

#include "tables_fixture.h"
#include "validation_cases.h"

namespace {

class FloatingCases : public TablesWorkdir {};

TEST_F(FloatingCases, EliminatedRowsAgreeWithSeriesAndReciprocity)
{
    MakeTables("3.9:2.5");
    ValidationSettings s = QuickSettings();
    s.rel_err = 0.02;
    s.threads = 1;
    const std::vector<CaseResult> results = RunFloatingCases(s, std::string(KORVA_SOURCE_DIR) + "/validation/decks");
    ASSERT_EQ(results.size(), 9u);
    for (const CaseResult& r : results)
        EXPECT_TRUE(r.Passed()) << r.name << ": " << r.value << " vs " << r.reference << " (std.err "
                                << r.std_err << ", deviation " << 100 * r.Deviation() << "%)";
}

}  // namespace
