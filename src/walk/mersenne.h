// MT19937 generator with the seeding and draws the walks are defined on.
#pragma once

#include <cstdint>

class CRandomMersenne {
public:
    static const int MT_N = 624;
    static const int MT_M = 397;

    uint32_t state[MT_N];
    int next;
    uint32_t last_interval;
    uint32_t reject_limit;

    CRandomMersenne() : next(MT_N), last_interval(0), reject_limit(0) { RandomInit(5489); last_interval = 0; }
    explicit CRandomMersenne(int seed) : next(MT_N), last_interval(0), reject_limit(0)
    {
        RandomInit(seed);
        last_interval = 0;
    }

    void RandomInit(int seed);
    // The reference generator's seeding by an array of words: every bit of
    // every word reaches the state. No output is discarded.
    void RandomInitByArray(const uint32_t* key, int length);
    int IRandomX(int min, int max);

    uint32_t BRandom()
    {
        if (next >= MT_N)
            Regenerate();
        return Temper(state[next++]);
    }

    double Random() { return (double)BRandom() * 2.3283064365386963e-10; }

    // What the next BRandom() returns, without drawing it: the walk looks a
    // draw up before it knows which search the draw is for.
    uint32_t PeekBRandom()
    {
        if (next >= MT_N)
            Regenerate();
        return Temper(state[next]);
    }
    // Takes the draw PeekBRandom showed.
    void SkipPeeked() { ++next; }

private:
    void InitState(uint32_t seed);
    void Regenerate();
    static uint32_t Temper(uint32_t y)
    {
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }
};
