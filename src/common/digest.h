// 64-bit FNV-1a digests: how processes that must compute the same numbers
// tell that they read the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

const uint64_t FNV_OFFSET = 14695981039346656037ull;
const uint64_t FNV_PRIME = 1099511628211ull;

inline uint64_t DigestBytes(const void* data, size_t bytes, uint64_t h = FNV_OFFSET)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; i++)
        h = (h ^ p[i]) * FNV_PRIME;
    return h;
}

// Eight bytes a step, so that the millions of values of the tables cost
// milliseconds next to the reads.
inline uint64_t DigestWords(const void* data, size_t words, uint64_t h = FNV_OFFSET)
{
    const char* p = static_cast<const char*>(data);
    for (size_t i = 0; i < words; i++) {
        uint64_t w;
        memcpy(&w, p + 8 * i, 8);
        h = (h ^ w) * FNV_PRIME;
    }
    return h;
}

