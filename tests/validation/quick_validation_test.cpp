// The accuracy cases with few walks and a loose tolerance: a wrong table,
// weight or sign shows up here long before the full validation run.
#include <gtest/gtest.h>

#include <string>

#include "tables_fixture.h"
#include "validation_cases.h"

namespace {

class QuickValidation : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables("3.9:2.5 10:1"); }
};

TEST_F(QuickValidation, EveryCaseAgreesWithItsReference)
{
    ValidationSettings s = QuickSettings();
    std::vector<CaseResult> results = RunAllCases(s, std::string(KORVA_SOURCE_DIR) + "/validation/decks",
                                                  std::string(KORVA_SOURCE_DIR) + "/examples");
    ASSERT_EQ(results.size(), 14u);
    for (const CaseResult& r : results)
        EXPECT_TRUE(r.Passed()) << r.name << ": " << r.value << " vs " << r.reference << " (std.err "
                                << r.std_err << ", deviation " << 100 * r.Deviation() << "%)";
}

}  // namespace
