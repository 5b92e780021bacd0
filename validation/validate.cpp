// Accuracy cases: Korva against analytic references.
//   korva_validate [--quick] [--threads N] [--clock]
// Run from the repository root with the single-medium tables built and the
// 3.9/2.5 tables registered (validation/run does both).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runner.h"
#include "validation_cases.h"

int main(int argc, char** argv)
{
    ValidationSettings s;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--quick"))
            s = QuickSettings();
        else if (!strcmp(argv[i], "--threads") && i + 1 < argc)
            s.threads = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--clock"))
            s.fixed_seed = false;
        else {
            fprintf(stderr, "usage: korva_validate [--quick] [--threads N] [--clock]\n");
            return 2;
        }
    }
    std::vector<CaseResult> results = RunAllCases(s, "validation/decks", "examples");
    printf("\n%-34s %12s %12s %10s %9s %9s  %s\n", "case", "korva (F)", "reference", "std.err",
           "dev (%)", "tol (%)", "");
    int failed = 0;
    for (const CaseResult& r : results) {
        printf("%-34s %12.5e %12.5e %10.2e %9.3f %9.3f  %s\n", r.name.c_str(), r.value, r.reference,
               r.std_err, 100.0 * r.Deviation(), 100.0 * r.Tolerance(), r.Passed() ? "ok" : "FAIL");
        failed += r.Passed() ? 0 : 1;
    }
    printf("\n%d passed, %d failed\n", (int)results.size() - failed, failed);
    return failed ? 1 : 0;
}
