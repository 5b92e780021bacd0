// The accuracy cases with few walks and a loose tolerance: a wrong table,
// weight or sign shows up here long before the full validation run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testutil.h"
#include "validation_cases.h"

namespace {

std::string Q(const std::string& s) { return "'" + s + "'"; }

class QuickValidation : public ::testing::Test {
protected:
    void SetUp() override
    {
        RunResult single = RunIn(dir.path(), Q(QUILLON_EXE) + " single " + Q(dir.path()));
        ASSERT_EQ(single.status, 0) << single.out << single.err;
        RunResult multi = RunIn(dir.path(), Q(QUILLON_EXE) + " multi " + Q(dir.path() + "/tables") + " 3.9:2.5");
        ASSERT_EQ(multi.status, 0) << multi.out << multi.err;
        dir.Write("bin/.gft_dir", dir.path() + "/tables/");
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }

    TempDir dir;
    char old_cwd[4096] = {};
};

TEST_F(QuickValidation, EveryCaseAgreesWithItsReference)
{
    ValidationSettings s = QuickSettings();
    std::vector<CaseResult> results = RunAllCases(s, std::string(KORVA_SOURCE_DIR) + "/validation/decks",
                                                  std::string(KORVA_SOURCE_DIR) + "/examples");
    ASSERT_EQ(results.size(), 6u);
    for (const CaseResult& r : results)
        EXPECT_TRUE(r.Passed()) << r.name << ": " << r.value << " vs " << r.reference << " (std.err "
                                << r.std_err << ", deviation " << 100 * r.Deviation() << "%)";
}

TEST(Reference, ParallelPlatesInSeries)
{
    // eps0 * A / (d1/e1 + d2/e2)
    EXPECT_NEAR(ParallelPlateReference(1.0, {1.0}, {1.0}), 8.854187817e-18, 1e-30);
    EXPECT_NEAR(ParallelPlateReference(2.0, {0.5, 0.5}, {2.0, 2.0}), 2 * 2 * 8.854187817e-18, 1e-30);
}

}  // namespace
