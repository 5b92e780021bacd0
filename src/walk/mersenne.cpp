#include "mersenne.h"

void CRandomMersenne::InitState(uint32_t seed)
{
    state[0] = seed;
    for (int i = 1; i < MT_N; i++)
        state[i] = 1812433253u * (state[i - 1] ^ (state[i - 1] >> 30)) + (uint32_t)i;
    next = MT_N;
}

void CRandomMersenne::RandomInitByArray(const uint32_t* key, int length)
{
    InitState(19650218u);
    int i = 1, j = 0;
    for (int k = MT_N > length ? MT_N : length; k > 0; k--) {
        state[i] = (state[i] ^ ((state[i - 1] ^ (state[i - 1] >> 30)) * 1664525u)) + key[j] + (uint32_t)j;
        if (++i >= MT_N) {
            state[0] = state[MT_N - 1];
            i = 1;
        }
        if (++j >= length)
            j = 0;
    }
    for (int k = MT_N - 1; k > 0; k--) {
        state[i] = (state[i] ^ ((state[i - 1] ^ (state[i - 1] >> 30)) * 1566083941u)) - (uint32_t)i;
        if (++i >= MT_N) {
            state[0] = state[MT_N - 1];
            i = 1;
        }
    }
    state[0] = 0x80000000u;
    next = MT_N;
    last_interval = 0;
}

void CRandomMersenne::RandomInit(int seed)
{
    InitState((uint32_t)seed);
    // The first outputs of a freshly seeded state are poorly mixed.
    for (int i = 0; i < 37; i++)
        BRandom();
}

void CRandomMersenne::Regenerate()
{
    // The twist's constant where y is odd, by a mask rather than a table:
    // the loops then vectorize without a lookup per word.
    auto mag = [](uint32_t y) { return (0u - (y & 1u)) & 0x9908b0dfu; };
    const uint32_t upper = 0x80000000u, lower = 0x7fffffffu;
    int kk = 0;
    for (; kk < MT_N - MT_M; kk++) {
        uint32_t y = (state[kk] & upper) | (state[kk + 1] & lower);
        state[kk] = state[kk + MT_M] ^ (y >> 1) ^ mag(y);
    }
    for (; kk < MT_N - 1; kk++) {
        uint32_t y = (state[kk] & upper) | (state[kk + 1] & lower);
        state[kk] = state[kk + (MT_M - MT_N)] ^ (y >> 1) ^ mag(y);
    }
    uint32_t y = (state[MT_N - 1] & upper) | (state[0] & lower);
    state[MT_N - 1] = state[MT_M - 1] ^ (y >> 1) ^ mag(y);
    next = 0;
}

int CRandomMersenne::IRandomX(int min, int max)
{
    if (max <= min)
        return max == min ? min : (int)0x80000000u;
    uint32_t interval = (uint32_t)max - (uint32_t)min + 1u;
    if (interval == 0)  // the whole int range: every word is a valid draw
        return (int)((uint32_t)min + BRandom());
    if (interval != last_interval) {
        // Largest multiple of interval that fits in 2^32, minus one; words
        // above it would favour the low results.
        reject_limit = (uint32_t)((0x100000000ull / interval) * interval - 1);
        last_interval = interval;
    }
    uint64_t p;
    do {
        p = (uint64_t)BRandom() * interval;
    } while ((uint32_t)p > reject_limit);
    return (int)((uint32_t)min + (uint32_t)(p >> 32));
}
