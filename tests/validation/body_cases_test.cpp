// A short run of the cases with dielectric bodies and of the thin-band
// stack: per-length rows from two lengths of wire against the 2-D solutions,
// guarded plates against the plate formulas. Cases whose bodies the walk
// does not take yet come back skipped.
#include <gtest/gtest.h>

#include <string>

#include "tables_fixture.h"
#include "validation_cases.h"

namespace {

class BodyCases : public TablesWorkdir {};

TEST_F(BodyCases, EveryCaseRunAgreesWithItsReference)
{
    const std::string decks = std::string(KORVA_SOURCE_DIR) + "/validation/decks";
    MakeTables(decks + "/thin_bands_L10.kd");
    // Tables for the decks with bodies, as far as the table generator takes them.
    for (const std::string& d : BodyCaseDecks())
        RunIn(dir.path(), Quoted(QUILLON_EXE) + " deck " + Quoted(decks + "/" + d) + " " +
                              Quoted(dir.path() + "/tables"));

    ValidationSettings s = QuickSettings();
    s.rel_err = 0.03;
    s.threads = 1;  // one worker: the same walks on every run
    const std::vector<CaseResult> results = RunBodyCases(s, decks);
    ASSERT_EQ(results.size(), 25u);
    int run = 0;
    for (const CaseResult& r : results) {
        if (r.skipped)
            continue;
        ++run;
        EXPECT_TRUE(r.Passed()) << r.name << ": " << r.value << " vs " << r.reference << " (std.err "
                                << r.std_err << ", deviation " << 100 * r.Deviation() << "%)";
    }
    EXPECT_GE(run, 3);  // the thin bands, which need no bodies
}

}  // namespace
