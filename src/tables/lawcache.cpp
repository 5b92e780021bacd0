#include "lawcache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "datapaths.h"

namespace {

bool EndsWith(const char* name, const char* tail)
{
    const size_t n = strlen(name), t = strlen(tail);
    return n >= t && strcmp(name + n - t, tail) == 0;
}

// What StoreWhole leaves behind when its process dies before the rename:
// "<law>.tmp<pid>".
bool HalfWritten(const char* name) { return strstr(name, ".law.tmp") || strstr(name, ".edge.tmp"); }

}  // namespace

std::string LawCacheFolder()
{
    const std::string cache = CacheFolder();
    return cache.empty() ? "" : cache + "/boxes";
}

void MarkLawUsed(const std::string& path)
{
    // Both times to now: many file systems never update the access time.
    // A law that cannot be touched (a folder shared read-only) is still used.
    utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

LawCacheTrim TrimLawCache(const std::string& dir, uint64_t limit)
{
    LawCacheTrim out;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    struct Kept {
        timespec used;
        uint64_t bytes;
        std::string path;
    };
    std::vector<Kept> laws;
    const time_t now = time(nullptr);
    while (const dirent* e = readdir(d)) {
        const bool law = EndsWith(e->d_name, ".law") || EndsWith(e->d_name, ".edge");
        if (!law && !HalfWritten(e->d_name))
            continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!law) {
            if (now - st.st_mtime > 3600 && unlink(path.c_str()) == 0) {
                ++out.removed_files;
                out.removed_bytes += (uint64_t)st.st_size;
            }
            continue;
        }
        laws.push_back({st.st_mtim, (uint64_t)st.st_size, path});
        ++out.files;
        out.bytes += (uint64_t)st.st_size;
    }
    closedir(d);
    if (limit == 0 || out.bytes <= limit)
        return out;
    std::sort(laws.begin(), laws.end(), [](const Kept& a, const Kept& b) {
        return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec : a.used.tv_nsec < b.used.tv_nsec;
    });
    uint64_t left = out.bytes;
    const uint64_t goal = limit / 4 * 3;
    for (const Kept& k : laws) {
        if (left <= goal)
            break;
        // Another process may have removed or replaced it: what it frees is
        // counted only when this one removed it.
        if (unlink(k.path.c_str()) != 0)
            continue;
        left -= k.bytes;
        ++out.removed_files;
        out.removed_bytes += k.bytes;
    }
    return out;
}
