// Shared helpers of the walk-manager tests: real tables generated once per
// test binary, and media stacked in slabs.
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
