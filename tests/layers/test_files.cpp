// Loading multi-dielectric table files: name filter, header checks, the
// ordered permittivity pair, truncated bodies and directory scans.
#include "layers_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "tablecheck.h"
#include "testutil.h"

namespace {

const PSumPacket kTrans = {0, false, 1, 6, 2, 1, 12};
const PSumPacket kHalfTrans = {1, true, 1, 6, 2, 1, 12};
const PSumPacket kWei = {2, false, 2, 3, 1, 1, 6};
const PSumPacket kPdf = {4, false, 1, 3, 6, 2, 36};
const DielKey kKey = {3.9, 2.5};

class FilesTest : public LayersTest {
protected:
    void SetUp() override
    {
        LayersTest::SetUp();
        BuildOxideOnLowK();
    }
    std::string Table(const std::string& name, double seg, double dlow, double dhigh, int n, double first = 1)
    {
        return tmp.Write(name, TableBytes(seg, dlow, dhigh, Ramp(n, first)));
    }
    bool Load(const std::string& path, const PSumPacket& packet)
    {
        return Layers::SLoadFile(path.c_str(), packet);
    }
    TempDir tmp;
};

TEST_F(FilesTest, HeaderDecidesWhetherATableFits)
{
    const struct {
        double seg, dlow, dhigh;
        bool fits;
    } rows[] = {
        {31, 3.9, 2.5, true},     {32, 3.9, 2.5, true},      {32.9, 3.9, 2.5, true},
        {31, 3.9000000000005, 2.5, true},                     {33, 3.9, 2.5, false},
        {30.99, 3.9, 2.5, false}, {NAN, 3.9, 2.5, false},    {1e300, 3.9, 2.5, false},
        {31, 2.5, 3.9, false},    {31, 3.9, 3.9, false},     {31, 4.2, 2.5, false},
        {31, 3.90001, 2.5, false},
    };
    for (const auto& r : rows) {
        Layers::UnLoadData();
        EXPECT_EQ(Load(Table("NumGFT_a.db", r.seg, r.dlow, r.dhigh, 12), kTrans), r.fits)
            << r.seg << " " << r.dlow << " " << r.dhigh;
        EXPECT_EQ(Layers::psums.count(kKey), r.fits ? 1u : 0u);
    }
    EXPECT_FALSE(Load(tmp.Write("NumGFT_short.db", TableBytes(31, 3.9, 2.5, {}).substr(0, 20)), kTrans));
    EXPECT_FALSE(Load(tmp.path() + "/NumGFT_absent.db", kTrans));
}

TEST_F(FilesTest, NameFilterFollowsThePacket)
{
    const std::string is = Table("NumGFT_IS_x.db", 31, 3.9, 2.5, 36);
    const std::string wvt = Table("NumWVT_x.db", 31, 3.9, 2.5, 36);
    const std::string half = Table("hNumGFT_x.db", 31, 3.9, 2.5, 12);
    for (const char* name : {"NumGFT_a.dbx", "NumGFT_a", "xNumGFT_a.db"})
        EXPECT_FALSE(Load(Table(name, 31, 3.9, 2.5, 12), kTrans)) << name;
    for (const std::string& path : {is, wvt, half, std::string("db"), std::string(".db")})
        EXPECT_FALSE(Load(path, kTrans)) << path;
    EXPECT_FALSE(Load(Table("hNumGFT_IS_x.db", 31, 3.9, 2.5, 12), kHalfTrans));
    EXPECT_TRUE(Layers::psums.empty());
    EXPECT_TRUE(Load(half, kHalfTrans));

    Layers::weight_select = 4;
    EXPECT_TRUE(Load(is, kPdf));
    EXPECT_TRUE(Load(wvt, kPdf));
    EXPECT_TRUE(Load(wvt, kWei));
    EXPECT_FALSE(Load(is, kWei));
    EXPECT_EQ(Layers::cdf_weights.count(kKey), 1u);
    EXPECT_EQ(Layers::weight_array.count(kKey), 1u);

    PSumPacket wrong = kTrans;
    wrong.type = 6;
    EXPECT_EQ(CaptureOut([&] { EXPECT_FALSE(Load(half, wrong)); }),
              "Register DATA wrong, because not suitable type for loading file to deal with "
              "multi-dielectrics cases");
    // The suffix is tested before the type; a type below 0 fits no name.
    EXPECT_EQ(CaptureOut([&] { EXPECT_FALSE(Load(Table("hNumGFT_x.dbx", 31, 3.9, 2.5, 12), wrong)); }), "");
    wrong.type = -1;
    EXPECT_EQ(CaptureOut([&] { EXPECT_FALSE(Load(half, wrong)); }), "");
}

TEST_F(FilesTest, OnePermittivityEverywhereRegistersNothing)
{
    deck.clear();
    AddMedium(0, 1, 3.9);
    AddMedium(1, 2, 3.9);
    Build();
    EXPECT_FALSE(Load(Table("NumGFT_a.db", 31, 3.9, 2.5, 12), kTrans));
    EXPECT_TRUE(Layers::psums.empty());
}

TEST_F(FilesTest, TruncatedBodyIsFatal)
{
    std::vector<double> body(Layers::trans.size - 1, 1.0 / Layers::trans.size);
    const std::string path = tmp.Write("NumGFT_cut.db", TableBytes(31, 3.9, 2.5, body));
    EXPECT_DEATH(Load(path, Layers::trans), FatalText("(int)rs == size"));
    // Bytes after the body are ignored.
    body.push_back(0.5);
    body.push_back(7);
    EXPECT_TRUE(Load(tmp.Write("NumGFT_long.db", TableBytes(31, 3.9, 2.5, body)), Layers::trans));
    EXPECT_EQ(Layers::psums[kKey].second[29][5].size(), 961u);
    EXPECT_NEAR(Layers::psums[kKey].first[29][5], (6 * 961 - 1) * (1.0 / Layers::trans.size) + 0.5, 1e-12);
}

TEST_F(FilesTest, DirectoryScanLoadsRegularMatchingFiles)
{
    Layers::weight_select = 4;
    const std::string dir = tmp.path() + "/IS/binary/MULTI/GFT";
    MakeDirs(dir);
    MakeDirs(dir + "/NumGFT_sub.db");  // a directory, not a table
    std::vector<double> body(Layers::pdf.size, 1e-7);
    body[3] = -1e-7;
    tmp.Write("IS/binary/MULTI/GFT/NumGFT_IS_3.9_2.5.db", TableBytes(31, 3.9, 2.5, body));
    body.resize(Layers::trans.size);
    tmp.Write("IS/binary/MULTI/GFT/NumGFT_3.9_2.5.db", TableBytes(31, 3.9, 2.5, body));
    tmp.Write("IS/binary/MULTI/GFT/NumGFT_2.5_3.9.db", TableBytes(31, 2.5, 3.9, body));
    symlink((dir + "/NumGFT_3.9_2.5.db").c_str(), (dir + "/NumGFT_link.db").c_str());

    std::string out = CaptureOut([&] {
        Layers::SLoadDir(dir.c_str(), Layers::pdf);
        Layers::SLoadDir(dir.c_str(), Layers::trans);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(Layers::psums.size(), 1u);
    EXPECT_EQ(Layers::cdf_weights.size(), 1u);
    WeightSignEntry signs = Layers::QuerySigns(3.9, 2.5);
    ASSERT_NE(signs, nullptr);
    EXPECT_EQ(signs[0][0][0][3], -1);
    EXPECT_EQ(signs[0][0][0][2], 1);
    EXPECT_NEAR(Layers::cdf_weights[kKey].first[0][0][5], 6 * 961 * 1e-7, 1e-15);
}

TEST_F(FilesTest, MissingDirectoryIsReportedAndLoadsNothing)
{
    const std::string dir = tmp.path() + "/nowhere";
    std::string out = CaptureOut([&] { Layers::SLoadDir(dir.c_str(), Layers::trans); });
    EXPECT_EQ(out, dir + "  opendir() fail 2\n");
    EXPECT_TRUE(Layers::psums.empty());
}

// Loading screens each cube's sum and the values' signs on the way and runs
// the full check only on a suspect body: the screen must never let through
// what the full check refuses, nor refuse what it accepts.
TEST_F(FilesTest, ScreenedTablesAreJudgedAsTheFullCheckJudgesThem)
{
    const PSumPacket kHalfPdf = {5, true, 1, 3, 6, 2, 36};  // blocks of 12 magnitudes, >= 0
    const struct {
        double add5, set6;  // value 5 += add5; value 6 = set6 unless NAN
        bool sound;
    } rows[] = {
        {0, NAN, true},         {5e-10, NAN, true},     {-5e-10, NAN, true},   {2e-9, NAN, false},
        {-2e-9, NAN, false},    {0, -0.0, false},       {0, INFINITY, false},
        {1.0 / 12, -0.0, true},  // a negative zero with the sum kept at 1
        {1.0 / 12, -1e-300, false},
    };
    Layers::weight_select = 4;
    TableCheck::enabled = true;
    for (const PSumPacket* p : {&kTrans, &kHalfPdf})
        for (const auto& r : rows) {
            std::vector<double> body(p->size, 1.0 / 12);
            body[5] += r.add5;
            if (!std::isnan(r.set6))
                body[6] = r.set6;
            const std::string name = p->type == 0 ? "NumGFT_s.db" : "hNumGFT_IS_s.db";
            const std::string path = tmp.Write(name, TableBytes(p->half ? 32 : 31, 3.9, 2.5, body));
            const std::string what = name + " " + std::to_string(r.add5) + " " + std::to_string(r.set6);
            if (r.sound)
                EXPECT_TRUE(Load(path, *p)) << what;
            else
                EXPECT_EXIT({ Log::ero = stderr; Load(path, *p); }, testing::ExitedWithCode(255), Quote(name))
                    << what;
            Layers::UnLoadData();
        }
    TableCheck::enabled = false;
}

}  // namespace
