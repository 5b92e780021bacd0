// Status lines while a large deck is prepared, so that a run over hundreds
// of thousands of blocks never sits silent. Decks below LARGE blocks print
// nothing, so their console output stays as it was.
#pragma once

#include <ctime>

#include "log.h"

namespace Progress {

const long long LARGE = 100000;

// "Reading the deck: N blocks" at every LARGE-th block read.
inline void BlocksRead(long long count)
{
    if (count > 0 && count % LARGE == 0)
        Log::output("Reading the deck: %lld blocks\n", count);
}

inline double Seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// Bracket the index build of a large deck; IndexStart returns the start time
// for IndexDone.
inline double IndexStart(long long blocks)
{
    if (blocks >= LARGE)
        Log::output("Building the index of %lld blocks\n", blocks);
    return Seconds();
}

inline void IndexDone(long long blocks, double start)
{
    if (blocks >= LARGE)
        Log::output("Index built in %.2f seconds\n", Seconds() - start);
}

}  // namespace Progress
