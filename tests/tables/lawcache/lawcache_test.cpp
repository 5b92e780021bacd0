#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lawcache.h"
#include "testutil.h"

namespace {

void WriteAged(const std::string& path, size_t bytes, time_t when)
{
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
    const timespec t[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
}

std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    for (const char* n : {"notes.txt", "a.law.tmp123", "b.edge.tmp456"})
        if (access((dir + "/" + n).c_str(), F_OK) == 0)
            names.insert(n);
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i) + (i % 2 ? ".edge" : ".law");
        if (access((dir + "/" + n).c_str(), F_OK) == 0)
            names.insert(n);
    }
    return names;
}

}  // namespace

// Twelve laws of different sizes and ages, and files that are not laws: for
// each bound, what is left is what a brute force over the laws by age says
// (oldest out first until three quarters of the bound), whatever is not a law
// stays, and a law read since moves to the back of the queue.
TEST(LawCache, TrimRemovesTheLeastRecentlyUsedDownToTheBound)
{
    const time_t now = time(nullptr);
    std::vector<int> age(12);
    for (int i = 0; i < 12; ++i)
        age[i] = 60 * (i + 1);
    std::shuffle(age.begin(), age.end(), std::mt19937(5));
    uint64_t total = 0;
    for (int i = 0; i < 12; ++i)
        total += 1000 * (i + 1);
    for (int touched : {-1, 0, 1}) {
        for (uint64_t limit : {(uint64_t)0, total, total - 1, total / 2, total / 5, (uint64_t)1}) {
            TempDir d;
            std::vector<std::pair<time_t, int>> by_age;
            for (int i = 0; i < 12; ++i) {
                WriteAged(d.path() + "/" + std::to_string(i) + (i % 2 ? ".edge" : ".law"), 1000 * (i + 1),
                          now - age[i]);
                by_age.push_back({now - age[i], i});
            }
            WriteAged(d.path() + "/notes.txt", 50000, now - 99999);
            WriteAged(d.path() + "/a.law.tmp123", 70, now - 7200);   // a dead writer's: goes
            WriteAged(d.path() + "/b.edge.tmp456", 70, now - 60);    // a live writer's: stays
            // The oldest law, or the one after it, read since.
            std::sort(by_age.begin(), by_age.end());
            if (touched >= 0) {
                const int i = by_age[touched].second;
                MarkLawUsed(d.path() + "/" + std::to_string(i) + (i % 2 ? ".edge" : ".law"));
                by_age[touched].first = now + 1;
                std::sort(by_age.begin(), by_age.end());
            }

            std::set<std::string> want = {"notes.txt", "b.edge.tmp456"};
            uint64_t left = total, removed = 0;
            for (const auto& a : by_age) {
                const int i = a.second;
                if (limit != 0 && total > limit && left > limit / 4 * 3) {
                    left -= 1000 * (i + 1);
                    ++removed;
                } else {
                    want.insert(std::to_string(i) + (i % 2 ? ".edge" : ".law"));
                }
            }
            const LawCacheTrim t = TrimLawCache(d.path(), limit);
            const std::string c = "limit " + std::to_string(limit) + ", touched " + std::to_string(touched);
            EXPECT_EQ(Listing(d.path()), want) << c;
            EXPECT_EQ(t.files, 12u) << c;
            EXPECT_EQ(t.bytes, total) << c;
            EXPECT_EQ(t.removed_files, removed + 1) << c;  // and the dead writer's file
            EXPECT_EQ(t.removed_bytes, total - left + 70) << c;
        }
    }
    // No folder: nothing found, nothing removed.
    const LawCacheTrim none = TrimLawCache("/nonexistent/korva-laws", 1);
    EXPECT_EQ(none.files + none.removed_files, 0u);
}
