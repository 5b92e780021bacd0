// The exit laws kept between runs (the boxes through thin bands and films,
// the edge cubes of films) live in one folder of the table cache, a file a
// law. Every new stack or film adds its laws, tens of megabytes a stack, so
// the folder is trimmed after every run: the laws used least recently go
// first, and a run that needs one again makes it again.
#pragma once

#include <cstdint>
#include <string>

// The folder of the kept laws ("" when there is no cache folder).
std::string LawCacheFolder();

// The default bound of that folder, in megabytes.
constexpr uint64_t LAW_CACHE_DEFAULT_MB = 1024;

// A law was read from `path`: it becomes the most recently used.
void MarkLawUsed(const std::string& path);

struct LawCacheTrim {
    uint64_t files = 0, bytes = 0;  // the laws found
    uint64_t removed_files = 0, removed_bytes = 0;
};
// When the laws in `dir` take more than `limit` bytes, removes the least
// recently used down to three quarters of it, so that the runs after do not
// trim again at once; also removes files left half-written by a process
// that died, once they are an hour old. A limit of 0 keeps everything.
// Other processes may read, write or trim the folder meanwhile: a law
// removed under a reader is made again, as a missing one is.
LawCacheTrim TrimLawCache(const std::string& dir, uint64_t limit);
