// Shared helpers of the walk-manager tests: real tables generated once per
// test binary, result stores, and a folder switch for the relative paths.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "layers.h"
#include "log.h"
#include "randomwalk.h"
#include "spacemanager.h"
#include "testutil.h"
#include "walkmgr.h"

// The tables of the tests: single-medium tables under incdata/ and the
// multi-dielectric tables of (3.9 below 2.5) under multi/, with bin/.gft_dir
// pointing there. Built by the real generator on first use.
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
    ~InDir()
    {
        if (chdir(old.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << old;
    }

private:
    std::string old;
};

// Every static table a run fills, emptied so that each test prepares afresh.
inline void ResetStatics()
{
    Randomwalk::ResetTables();
    Layers::ResetAll();
}

// A [rows][n + 1] sum table and its row pointers, as the driver passes them.
struct SumRows {
    std::vector<std::vector<double>> rows;
    std::vector<double*> ptr;
    SumRows(int count, int n) : rows(count, std::vector<double>(n + 1)), ptr(count)
    {
        for (int k = 0; k < count; k++)
            ptr[k] = rows[k].data();
    }
    double* operator[](int k) { return ptr[k]; }
};

// The driver's result stores for n conductors.
struct Stores {
    std::vector<double> cap, cap2, err;
    SumRows is_sum, is_sum2, ss_sum, ss_sum2;
    std::vector<long long> is_count, ss_count;

    explicit Stores(int n)
        : cap(n + 1), cap2(n + 1), err(n + 1), is_sum(12, n), is_sum2(12, n), ss_sum(17, n),
          ss_sum2(17, n), is_count(12), ss_count(17)
    {
    }

    // Points the manager at the stores without preparing a run.
    void Attach(WalkMgr& m)
    {
        m.cap = &cap;
        m.cap2 = &cap2;
        m.err = &err;
        m.is_sum = is_sum.ptr.data();
        m.is_sum2 = is_sum2.ptr.data();
        m.is_count = &is_count;
        m.ss_sum = ss_sum.ptr.data();
        m.ss_sum2 = ss_sum2.ptr.data();
        m.ss_count = &ss_count;
    }

    int Prepare(WalkMgr& m, char mode, const std::vector<const Cuboid*>& boxes,
                const std::vector<Medium*>& media, long long walks, double precision, Cuboid* window,
                int weight_select = 4, int gauss_select = 1)
    {
        return m.Prepare(mode, boxes, media, walks, precision, cap, cap2, err, ss_sum.ptr.data(),
                         ss_sum2.ptr.data(), ss_count, is_sum.ptr.data(), is_sum2.ptr.data(), is_count, 1,
                         gauss_select, weight_select, window);
    }
};

inline std::vector<const Cuboid*> BoxList(const std::vector<Cuboid>& boxes)
{
    std::vector<const Cuboid*> l;
    for (const Cuboid& b : boxes)
        l.push_back(&b);
    return l;
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

// Captures what the console channels print while it lives.
class CaptureOutput {
public:
    CaptureOutput() : file(tmpfile()), saved_out(Log::out), saved_ero(Log::ero), saved_inf(Log::inf)
    {
        Log::out = Log::ero = file;
        Log::inf = nullptr;
    }
    ~CaptureOutput()
    {
        Log::out = saved_out;
        Log::ero = saved_ero;
        Log::inf = saved_inf;
        fclose(file);
    }
    std::string Text()
    {
        fflush(file);
        std::string s;
        rewind(file);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file)) > 0)
            s.append(buf, n);
        return s;
    }

private:
    FILE* file;
    FILE* saved_out;
    FILE* saved_ero;
    FILE* saved_inf;
};
