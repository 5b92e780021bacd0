// Run preparation: the registration file, the table directories, and the
// decks that are refused before any walk.
#include "walk_support.h"

namespace {

TEST(GftDir, FinalSlashOrNewlineIsDropped)
{
    TempDir tech;  // the registered folder must exist
    const std::string t = tech.path();
    const std::string rows[][2] = {{t + "/", t}, {t + "\n", t}, {t + "/\nsecond line\n", t + "/"}, {t, t}};
    for (const auto& r : rows) {
        TempDir dir;
        dir.Write("bin/.gft_dir", r[0]);
        InDir in(dir.path());
        EXPECT_EQ(WalkMgr::ReadGftDir(), r[1]) << "file " << r[0];
    }
}

TEST(GftDirDeath, MissingOrEmptyFileEndsWith255)
{
    TempDir dir;
    InDir in(dir.path());
    auto read = [] {
        Log::ero = stderr;
        WalkMgr::ReadGftDir();
    };
    EXPECT_EXIT(read(), ::testing::ExitedWithCode(255), "cannot open bin/.gft_dir file");
    dir.Write("bin/.gft_dir", "");
    EXPECT_EXIT(read(), ::testing::ExitedWithCode(255), "wrong in bin/.gft_dir file");
}

// Prepares the deck in `root` with output on stderr, for death tests.
void PrepareLoud(const std::vector<Cuboid>& boxes, const Media& media, int conductors,
                 std::vector<std::string> names = {}, int gauss_select = 1, int weight_select = 4,
                 const std::string& root = TableRoot())
{
    Log::ero = stderr;
    InDir in(root);
    ResetStatics();
    WalkMgr m;
    m.names = names;
    Stores s(conductors);
    s.Prepare(m, 't', BoxList(boxes), media.list, 100, 0.01, nullptr, weight_select, gauss_select);
}

const Cuboid UNIT(0, 0, 0, 0, 1, 1, 1);

TEST(PrepareDeath, ConductorTouchingTheMasterIsRefused)
{
    TableRoot();
    Media air({-20, 20}, {1.0});
    // Touching the master's second block; one between its blocks, clear of
    // both, would be accepted.
    std::vector<Cuboid> boxes = {UNIT, Cuboid(0, 0, 0, 2, 1, 1, 3), Cuboid(1, 0, 0, 1.2, 1, 1, 2)};
    EXPECT_EXIT(PrepareLoud(boxes, air, 2, {"vdd", "signal_a"}), ::testing::ExitedWithCode(255),
                "Conductor signal_a overlaps or touches the master conductor vdd");
    boxes[2] = Cuboid(1, 0.5, 0.5, 0.5, 3, 3, 3);
    EXPECT_EXIT(PrepareLoud(boxes, air, 2, {"vdd", "signal_a"}), ::testing::ExitedWithCode(255),
                "signal_a.*vdd");
}

TEST(PrepareDeath, BadDecksAndSelectorsEndWith255)
{
    TableRoot();
    Media air({-20, 20}, {1.0}), thin({-20, 0, 1.5e-12, 20}, {3.9, 2.5, 3.9});
    const std::vector<Cuboid> pair = {Cuboid(0, 0, 0, 2, 1, 1, 3), Cuboid(1, 0, 0, 5, 1, 1, 6)};
    struct Row {
        std::vector<Cuboid> boxes;
        const Media& media;
        int gauss, weight;
        const char* message;
    } rows[] = {
        {{UNIT, Cuboid(1, 2e5, 0, 0, 2e5 + 1, 1, 1)}, air, 1, 4, "does not fit the integer grid"},
        {pair, thin, 1, 4, "between z = 0 and z = 1.5e-12 is thinner"},
        {{UNIT}, air, 2, 4, "The -g parameters are wrongly set"},
        {{UNIT}, air, 1, 5, "The -w parameters are wrongly set"},
    };
    for (const Row& r : rows)
        EXPECT_EXIT(PrepareLoud(r.boxes, r.media, (int)r.boxes.size(), {}, r.gauss, r.weight),
                    ::testing::ExitedWithCode(255), r.message);
}

TEST(Prepare, FindsTheRegisteredTablesAndEnlargesTheWindow)
{
    InDir in(TableRoot());
    ResetStatics();
    Media two({-20, 1.5, 20}, {3.9, 2.5});
    const std::vector<Cuboid> boxes = {UNIT, Cuboid(1, 0, 0, 2, 1, 1, 3)};
    Cuboid window(0, -1, -1, -1, 2, 2, 2);
    WalkMgr m;
    Stores s(2);
    {
        CaptureOutput quiet;
        EXPECT_EQ(s.Prepare(m, 'p', BoxList(boxes), two.list, 77, 0.02, &window), 0);
    }
    EXPECT_EQ(m.is_dir, TableRoot() + "/multi/IS/binary/MULTI");
    EXPECT_EQ(m.common_dir, TableRoot() + "/multi/COMMON/binary/MULTI");
    // Enlarged in place to the cube of radius 5 x 3 about the conductors' centre.
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
    Media air({-20, 20}, {1.0});
    const std::vector<Cuboid> boxes = {UNIT, Cuboid(1, 0, 0, 2, 1, 1, 3)};
    WalkMgr m;
    Stores s(2);
    CaptureOutput quiet;
    s.Prepare(m, 't', BoxList(boxes), air.list, 100, 0.01, nullptr);
    ASSERT_NE(m.spacemgr, nullptr);
    EXPECT_GT(m.spacemgr->GetMaxBall(Vector3(0.5, 0.5, 10)), 1.0);
    ResetStatics();
}

}  // namespace
