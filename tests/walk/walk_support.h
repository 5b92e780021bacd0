// Shared helpers of the walk-manager tests: real tables generated once per
// test binary, result stores, and a folder switch for the relative paths.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "layers.h"
#include "log.h"
#include "randomwalk.h"
#include "spacemanager.h"
#include "testutil.h"
#include "walkmgr.h"

// Single-medium tables under incdata/ and the tables of (3.9 below 2.5) and
// (2.5 below 3.9) under multi/, registered in bin/.gft_dir.
inline const std::string& TableRoot()
{
    // Death tests end forked children with exit(), which runs static
    // destructors: only the process that made the folder removes it.
    struct Owned {
        TempDir* dir = new TempDir;
        pid_t owner = getpid();
        ~Owned()
        {
            if (getpid() == owner)
                delete dir;
        }
    };
    static Owned tables;
    static bool made = false;
    if (!made) {
        const std::string& root = tables.dir->path();
        RunResult r = RunIn(root, std::string(QUILLON_EXE) + " single . && " + QUILLON_EXE +
                                      " multi multi 3.9:2.5 2.5:3.9");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        tables.dir->Write("bin/.gft_dir", root + "/multi/");
        made = true;
    }
    return tables.dir->path();
}

// Runs the test body in another folder and comes back.
class InDir {
public:
    explicit InDir(const std::string& dir)
    {
        char buf[4096];
        old = getcwd(buf, sizeof buf) ? buf : ".";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDir() { EXPECT_EQ(chdir(old.c_str()), 0); }

private:
    std::string old;
};

inline void ResetStatics()
{
    Randomwalk::ResetTables();
    Layers::ResetAll();
}

// The driver's result stores for n conductors: [strata][n + 1] sums as row
// pointers. Prepare prints nothing.
struct Stores {
    std::vector<double> cap, cap2, err;
    std::vector<std::vector<double>> rows[4];
    std::vector<double*> is_sum, is_sum2, ss_sum, ss_sum2;
    std::vector<long long> is_count = std::vector<long long>(12), ss_count = std::vector<long long>(17);

    explicit Stores(int n) : cap(n + 1), cap2(n + 1), err(n + 1)
    {
        std::vector<double*>* ptrs[4] = {&is_sum, &is_sum2, &ss_sum, &ss_sum2};
        for (int t = 0; t < 4; t++) {
            rows[t].assign(t < 2 ? 12 : 17, std::vector<double>(n + 1));
            for (auto& r : rows[t])
                ptrs[t]->push_back(r.data());
        }
    }
    int Prepare(WalkMgr& m, char mode, const std::vector<Cuboid>& blocks, const std::vector<Medium*>& media,
                long long walks, double precision, Cuboid* window, int weight_select = 4)
    {
        std::vector<const Cuboid*> boxes;
        for (const Cuboid& b : blocks)
            boxes.push_back(&b);
        testing::internal::CaptureStdout();
        int r = m.Prepare(mode, boxes, media, walks, precision, cap, cap2, err, ss_sum.data(), ss_sum2.data(),
                          ss_count, is_sum.data(), is_sum2.data(), is_count, 1, 1, weight_select, window);
        testing::internal::GetCapturedStdout();
        return r;
    }
};

// Slabs between consecutive heights z, with the given permittivities.
struct Media {
    std::vector<Cuboid> blocks;
    std::vector<Medium> media;
    std::vector<Medium*> list;

    Media(const std::vector<double>& z, const std::vector<double>& eps)
    {
        blocks.reserve(eps.size());
        media.reserve(eps.size());
        for (size_t i = 0; i < eps.size(); i++) {
            blocks.push_back(Cuboid(0, -20, -20, z[i], 20, 20, z[i + 1]));
            media.push_back(Medium(&blocks.back(), eps[i]));
            list.push_back(&media.back());
        }
    }
    Media(const Media&) = delete;
};
