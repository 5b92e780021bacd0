// Run preparation: the registration file, the table directories, and the
// decks that are refused before any walk.
#include "walk_support.h"

namespace {

std::string GftDirOf(const std::string& content)
{
    TempDir dir;
    dir.Write("bin/.gft_dir", content);
    InDir in(dir.path());
    return WalkMgr::ReadGftDir();
}

TEST(GftDir, FinalSlashOrNewlineIsDropped)
{
    EXPECT_EQ(GftDirOf("/data/tech/"), "/data/tech");
    EXPECT_EQ(GftDirOf("/data/tech\n"), "/data/tech");
    EXPECT_EQ(GftDirOf("/data/tech/\nsecond line\n"), "/data/tech/");
    EXPECT_EQ(GftDirOf("/data/tech"), "/data/tech");
}

TEST(GftDirDeath, MissingOrEmptyFileEndsWith255)
{
    TempDir dir;
    InDir in(dir.path());
    EXPECT_EXIT(
        {
            Log::ero = stderr;
            WalkMgr::ReadGftDir();
        },
        ::testing::ExitedWithCode(255), "cannot open bin/.gft_dir file");
    dir.Write("bin/.gft_dir", "");
    EXPECT_EXIT(
        {
            Log::ero = stderr;
            WalkMgr::ReadGftDir();
        },
        ::testing::ExitedWithCode(255), "wrong in bin/.gft_dir file");
}

struct Deck {
    std::vector<Cuboid> boxes;
    std::vector<Cuboid> slabs;
    std::vector<Medium> media;

    std::vector<const Cuboid*> BoxList() const
    {
        std::vector<const Cuboid*> l;
        for (const Cuboid& b : boxes)
            l.push_back(&b);
        return l;
    }
    std::vector<Medium*> MediumList()
    {
        std::vector<Medium*> l;
        for (Medium& m : media)
            l.push_back(&m);
        return l;
    }
    void AddSlab(double z0, double z1, double eps)
    {
        slabs.reserve(8);
        media.reserve(8);
        slabs.push_back(Cuboid(0, -20, -20, z0, 20, 20, z1));
        media.push_back(Medium(&slabs.back(), eps));
    }
};

// Prepares the deck in the table folder with output on stderr, for death tests.
void PrepareLoud(Deck& d, int conductors, std::vector<std::string> names = {},
                 Cuboid* window = nullptr, int gauss_select = 1, int weight_select = 4)
{
    Log::ero = stderr;
    InDir in(TableRoot());
    ResetStatics();
    WalkMgr m;
    m.names = names;
    Stores s(conductors);
    s.Prepare(m, 't', d.BoxList(), d.MediumList(), 100, 0.01, window, weight_select, gauss_select);
}

TEST(PrepareDeath, ConductorTouchingTheMasterIsRefused)
{
    TableRoot();
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 0, 1, 1, 1), Cuboid(0, 0, 0, 2, 1, 1, 3),
               Cuboid(1, 0, 0, 1.2, 1, 1, 1.8)};
    d.AddSlab(-20, 20, 1.0);
    // The block lies between the master's two blocks, clear of both, but
    // inside their bounding box: the surface around them would enclose it.
    EXPECT_EXIT(PrepareLoud(d, 2, {"vdd", "signal_a"}), ::testing::ExitedWithCode(255),
                "Conductor signal_a overlaps or touches the bounding box of the master conductor vdd");
    d.boxes[2] = Cuboid(1, 0.5, 0.5, 0.5, 3, 3, 3);
    EXPECT_EXIT(PrepareLoud(d, 2, {"vdd", "signal_a"}), ::testing::ExitedWithCode(255),
                "signal_a.*vdd");
}

TEST(PrepareDeath, StructureTooLargeForTheGridIsRefused)
{
    TableRoot();
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 0, 1, 1, 1), Cuboid(1, 2e5, 0, 0, 2e5 + 1, 1, 1)};
    d.AddSlab(-20, 20, 1.0);
    EXPECT_EXIT(PrepareLoud(d, 2), ::testing::ExitedWithCode(255), "does not fit the integer grid");
}

TEST(PrepareDeath, LayerThinnerThanTwiceTheToleranceIsRefused)
{
    TableRoot();
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 2, 1, 1, 3), Cuboid(1, 0, 0, 5, 1, 1, 6)};
    d.AddSlab(-20, 0, 3.9);
    d.AddSlab(0, 1.5e-12, 2.5);
    d.AddSlab(1.5e-12, 20, 3.9);
    EXPECT_EXIT(PrepareLoud(d, 2), ::testing::ExitedWithCode(255),
                "between z = 0 and z = 1.5e-12 is thinner");
}

TEST(PrepareDeath, WrongSelectorsEndWith255)
{
    TableRoot();
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 0, 1, 1, 1)};
    d.AddSlab(-20, 20, 1.0);
    EXPECT_EXIT(PrepareLoud(d, 1, {}, nullptr, 2, 4), ::testing::ExitedWithCode(255),
                "The -g parameters are wrongly set");
    EXPECT_EXIT(PrepareLoud(d, 1, {}, nullptr, 1, 5), ::testing::ExitedWithCode(255),
                "The -w parameters are wrongly set");
}

TEST(PrepareDeath, SeveralMediaWithoutRegistrationEndWith255)
{
    TempDir dir;
    RunResult r = RunIn(dir.path(), std::string(QUILLON_EXE) + " single .");
    ASSERT_EQ(r.status, 0);
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 0, 1, 1, 1), Cuboid(1, 0, 0, 2, 1, 1, 3)};
    d.AddSlab(-20, 1.5, 3.9);
    d.AddSlab(1.5, 20, 2.5);
    EXPECT_EXIT(
        {
            InDir in(dir.path());
            Log::ero = stderr;
            ResetStatics();
            WalkMgr m;
            Stores s(2);
            s.Prepare(m, 't', d.BoxList(), d.MediumList(), 100, 0.01, nullptr);
        },
        ::testing::ExitedWithCode(255), "cannot open bin/.gft_dir file");
}

TEST(Prepare, StoresTheRunAndRegisteredDirectories)
{
    InDir in(TableRoot());
    ResetStatics();
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 0, 1, 1, 1), Cuboid(1, 0, 0, 2, 1, 1, 3)};
    d.AddSlab(-20, 1.5, 3.9);
    d.AddSlab(1.5, 20, 2.5);
    Cuboid window(0, -1, -1, -1, 2, 2, 2);
    WalkMgr m;
    Stores s(2);
    {
        CaptureOutput quiet;
        EXPECT_EQ(s.Prepare(m, 'p', d.BoxList(), d.MediumList(), 77, 0.02, &window), 0);
    }
    EXPECT_EQ(m.end_mode, 'p');
    EXPECT_EQ(m.target_walks, 77);
    EXPECT_EQ(m.target_err, 0.02);
    EXPECT_EQ(m.cap, &s.cap);
    EXPECT_EQ(m.is_count, &s.is_count);
    EXPECT_EQ(m.is_dir, TableRoot() + "/multi/IS/binary/MULTI");
    EXPECT_EQ(m.common_dir, TableRoot() + "/multi/COMMON/binary/MULTI");
    // The window was enlarged in place to the cube of radius 5 x 3 about
    // the conductors' centre.
    EXPECT_DOUBLE_EQ(window.z0, 1.5 - 15);
    EXPECT_DOUBLE_EQ(window.x1, 0.5 + 15);
    EXPECT_FALSE(Layers::psums.empty());
    // Right after preparation the status line shows the count 1 and 0.
    CaptureOutput out;
    m.ShowStatus();
    EXPECT_EQ(out.Text(), "Online Info.               1 random walks, current error   0.00e+00, "
                          "master cap:   0.00e+00 \n");
    ResetStatics();
}

TEST(Prepare, DeckWithoutWindowStartsFromTheConductors)
{
    InDir in(TableRoot());
    ResetStatics();
    Deck d;
    d.boxes = {Cuboid(0, 0, 0, 0, 1, 1, 1), Cuboid(1, 0, 0, 2, 1, 1, 3)};
    d.AddSlab(-20, 20, 1.0);
    WalkMgr m;
    Stores s(2);
    CaptureOutput quiet;
    s.Prepare(m, 't', d.BoxList(), d.MediumList(), 100, 0.01, nullptr);
    ASSERT_NE(m.spacemgr, nullptr);
    EXPECT_GT(m.spacemgr->GetMaxBall(Vector3(0.5, 0.5, 10)), 1.0);
    ResetStatics();
}

TEST(Manager, FreshManagerAndUnpreparedDestruction)
{
    WalkMgr m;
    EXPECT_EQ(m.walk_count, 1);
    EXPECT_FALSE(m.stop);
    EXPECT_EQ(m.spacemgr, nullptr);
    EXPECT_EQ(m.gauss_total, 0.0);
    EXPECT_EQ(m.master_estimate, 0.0);
}

}  // namespace
