// quillon: writes the cube tables that Korva's walks sample.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cubesolver.h"
#include "deckpairs.h"
#include "signcheck.h"
#include "tablefiles.h"

namespace {

const char USAGE[] =
    "usage: quillon single [ROOT]          write ROOT/incdata single-medium tables (ROOT defaults to .)\n"
    "       quillon multi DIR E1:E2 ...    write the tables of each pair (E1 below, E2 above) under DIR\n"
    "       quillon deck DECK DIR          write the tables of every interface of the deck's stack under DIR\n"
    "       quillon signs E1:E2 ...        print the weight share the geometric sign rule gets wrong\n";

int Usage(const char* problem)
{
    if (problem) std::fprintf(stderr, "quillon: %s\n", problem);
    std::fputs(USAGE, stderr);
    return 255;
}

double Seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

bool ParsePermittivity(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value > 0;
}

bool ParsePair(const char* arg, DielPair& pair)
{
    const char* colon = std::strchr(arg, ':');
    if (!colon) return false;
    std::string low(arg, colon - arg);
    return ParsePermittivity(low.c_str(), pair.dlow) && ParsePermittivity(colon + 1, pair.dhigh) &&
           pair.dlow != pair.dhigh;
}

bool ParsePairs(int argc, char** argv, int first, std::vector<DielPair>& pairs)
{
    for (int i = first; i < argc; ++i) {
        DielPair p;
        if (!ParsePair(argv[i], p)) {
            std::fprintf(stderr, "quillon: bad permittivity pair '%s' (want E1:E2, two different positive numbers)\n",
                         argv[i]);
            return false;
        }
        pairs.push_back(p);
    }
    return true;
}

int WritePairs(const std::string& dir, const std::vector<DielPair>& pairs)
{
    for (const DielPair& p : pairs) {
        double t0 = Seconds();
        int n = WritePairTables(dir, SolvePair(p));
        if (n < 0) return 255;
        std::printf("pair %s / %s: %d files in %.3f s\n", ShortDouble(p.dlow).c_str(), ShortDouble(p.dhigh).c_str(),
                    n, Seconds() - t0);
    }
    return 0;
}

int CmdSingle(int argc, char** argv)
{
    if (argc > 3) return Usage("single takes at most one folder");
    std::string root = argc == 3 ? argv[2] : ".";
    double t0 = Seconds();
    if (!WriteSingleTables(root)) return 255;
    std::printf("single-medium tables written under %s/incdata in %.3f s\n", root.c_str(), Seconds() - t0);
    return 0;
}

int CmdMulti(int argc, char** argv)
{
    if (argc < 4) return Usage("multi needs a folder and at least one pair");
    std::vector<DielPair> pairs;
    if (!ParsePairs(argc, argv, 3, pairs)) return Usage(nullptr);
    return WritePairs(argv[2], pairs);
}

int CmdDeck(int argc, char** argv)
{
    if (argc != 4) return Usage("deck needs a deck file and a folder");
    std::vector<DielPair> pairs;
    if (!PairsFromDeck(argv[2], pairs)) {
        std::fprintf(stderr, "quillon: cannot read deck %s\n", argv[2]);
        return 255;
    }
    if (pairs.empty()) std::printf("no dielectric interface in %s: nothing to write\n", argv[2]);
    return WritePairs(argv[3], pairs);
}

int CmdSigns(int argc, char** argv)
{
    std::vector<DielPair> pairs;
    if (argc < 3 || !ParsePairs(argc, argv, 2, pairs)) return Usage(argc < 3 ? "signs needs a pair" : nullptr);
    for (const DielPair& p : pairs) {
        std::printf("pair %s / %s: share of sum|W_d| on panels against the geometric side (x y z)\n",
                    ShortDouble(p.dlow).c_str(), ShortDouble(p.dhigh).c_str());
        double worst[3] = {0, 0, 0};
        for (int a = 1; a < CUT_COUNT; ++a) {
            CubeTable c = SolveCutCube(p.dlow, p.dhigh, a);
            std::printf("  cut %2d:", a);
            for (int d = 0; d < 3; ++d) {
                double s = SignMismatchShare(c, d);
                worst[d] = std::fmax(worst[d], s);
                std::printf(" %.3e", s);
            }
            std::printf("\n");
        }
        CubeTable h = SolveHalfCube(p.dlow, p.dhigh);
        std::printf("  half  : %.3e %.3e %.3e\n", SignMismatchShare(h, 0), SignMismatchShare(h, 1),
                    SignMismatchShare(h, 2));
        std::printf("  max over cuts: %.3e %.3e %.3e\n", worst[0], worst[1], worst[2]);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage(nullptr);
    // For manual pages and scripts: the usage on standard output, status 0.
    if (!std::strcmp(argv[1], "--help")) {
        std::fputs("quillon computes the exact cube tables of the capacitance walks.\n\n", stdout);
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("quillon %s\n", QUILLON_VERSION);
        return 0;
    }
    if (!std::strcmp(argv[1], "single")) return CmdSingle(argc, argv);
    if (!std::strcmp(argv[1], "multi")) return CmdMulti(argc, argv);
    if (!std::strcmp(argv[1], "deck")) return CmdDeck(argc, argv);
    if (!std::strcmp(argv[1], "signs")) return CmdSigns(argc, argv);
    return Usage("unknown command");
}
