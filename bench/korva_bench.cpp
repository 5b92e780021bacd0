// One timed extraction, in-process, printing one line of figures for
// bench/run to tabulate:
//   korva_bench DECK (--walks N | --rel E) [--threads T] [--seed S] [--reproducible 1]
// Run from the repository root (tables as for bin/korva).
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runner.h"

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: korva_bench DECK (--walks N | --rel E) [--threads T] [--seed S]\n");
        return 2;
    }
    RunOptions o;
    o.threads = 1;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--walks")) {
            o.mode = 't';
            o.walks = atoll(argv[i + 1]);
        } else if (!strcmp(argv[i], "--rel")) {
            o.mode = 'p';
            o.rel_err = atof(argv[i + 1]);
        } else if (!strcmp(argv[i], "--threads")) {
            o.threads = atoi(argv[i + 1]);
        } else if (!strcmp(argv[i], "--seed")) {
            o.seed = atoi(argv[i + 1]);
        } else if (!strcmp(argv[i], "--reproducible")) {
            o.reproducible = atoi(argv[i + 1]) != 0;
        }
    }
    // The status lines go to stdout; keep them off the figures line.
    fflush(stdout);
    FILE* keep = fdopen(dup(fileno(stdout)), "w");
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    RunOutput out;
    double t0 = WallSeconds();
    int rc = RunDeck(argv[1], o, out);
    double wall = WallSeconds() - t0;
    if (rc != 0)
        return rc;
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    fprintf(keep, "walks=%lld hops=%lld walk_seconds=%.4f wall_seconds=%.4f maxrss_kb=%ld cap0=%.6e err0=%.3e threads=%d\n",
            out.walks, out.hops, out.seconds, wall, ru.ru_maxrss, out.cap[0], out.err[0], o.threads);
    fclose(keep);
    return 0;
}
