// Loading of the single-medium table files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log.h"
#include "randomwalk.h"
#include "testutil.h"

namespace {

const char* IS_DIR = "incdata/IS/binary/single";
const char* CM_DIR = "incdata/Common/binary/single";

void WriteDoubles(const std::string& path, const std::vector<double>& v)
{
    FILE* fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr) << path;
    fwrite(v.data(), sizeof(double), v.size(), fp);
    fclose(fp);
}

// Values 1..7 repeating, scaled to sum to `total` per block of `block` values.
std::vector<double> Normalised(int count, int block, double total, int shift = 0)
{
    std::vector<double> v(count);
    for (int b = 0; b < count / block; b++) {
        double sum = 0;
        for (int i = 0; i < block; i++)
            sum += v[b * block + i] = 1 + (i + shift + b) % 7;
        for (int i = 0; i < block; i++)
            v[b * block + i] *= total / sum;
    }
    return v;
}

// Runs the test inside a scratch folder holding incdata/.
class LoadDataTest : public ::testing::Test {
protected:
    TempDir tmp;
    char old_cwd[4096];

    void SetUp() override
    {
        Randomwalk::ResetTables();
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        MakeDirs(tmp.path() + "/" + IS_DIR);
        MakeDirs(tmp.path() + "/" + CM_DIR);
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_cwd), 0);
        Randomwalk::ResetTables();
    }
    std::vector<double> gft = Normalised(5766, 5766, 1.0);
    std::vector<double> pdf = Normalised(17298, 5766, 1.0, 3);
    std::vector<double> cm_weight = Normalised(17298, 17298, 3.0, 5);

    void WriteIs()
    {
        WriteDoubles(std::string(IS_DIR) + "/GFT_single_31.db", gft);
        WriteDoubles(std::string(IS_DIR) + "/single_weight_31.db", {0.25, -0.5, 0.75});
        WriteDoubles(std::string(IS_DIR) + "/pdf_single_weight_31.db", pdf);
    }
    void WriteCommon()
    {
        WriteDoubles(std::string(CM_DIR) + "/GFT_single_31.db", gft);
        WriteDoubles(std::string(CM_DIR) + "/single_weight_31.db", cm_weight);
    }
};

TEST_F(LoadDataTest, ImportanceTablesAreCumulative)
{
    WriteIs();
    ASSERT_TRUE(Randomwalk::LoadData(4));
    double acc = 0;
    for (int i = 0; i < 962; i++)
        acc += gft[i];
    EXPECT_EQ(Randomwalk::partial_sum_arr[0][0], gft[0]);
    EXPECT_EQ(Randomwalk::partial_sum_arr[1][0], acc);  // the sum runs on across faces
    for (int f = 0; f < 6; f++) {
        ASSERT_EQ(Randomwalk::partial_sum_arr[f].size(), 961u);
        EXPECT_EQ(Randomwalk::partial_face_sum_arr[f], Randomwalk::partial_sum_arr[f].back());
    }
    EXPECT_NEAR(Randomwalk::partial_face_sum_arr[5], 1.0, 1e-12);
    EXPECT_EQ(std::vector<double>(Randomwalk::single_weight, Randomwalk::single_weight + 3),
              (std::vector<double>{0.25, -0.5, 0.75}));
    for (int d = 0; d < 3; d++) {
        EXPECT_EQ(Randomwalk::cdf_single_weight[d][0][0], pdf[d * 5766]);
        EXPECT_NEAR(Randomwalk::cdf_face_single_weight[d][5], 1.0, 1e-12);
        double prev = 0;
        for (int f = 0; f < 6; f++) {
            EXPECT_EQ(Randomwalk::cdf_face_single_weight[d][f], Randomwalk::cdf_single_weight[d][f].back());
            for (double c : Randomwalk::cdf_single_weight[d][f]) {
                ASSERT_GE(c, prev);
                prev = c;
            }
        }
    }
}

TEST_F(LoadDataTest, CommonTablesKeepOrDivideWeights)
{
    WriteCommon();
    ASSERT_TRUE(Randomwalk::LoadData(1));
    for (int d = 0; d < 3; d++)
        for (int f = 0; f < 6; f++) {
            EXPECT_EQ(Randomwalk::cdf_face_single_weight[d][f], 0.0);
            for (int k = 0; k < 961; k += 97)
                EXPECT_EQ(Randomwalk::cdf_single_weight[d][f][k], cm_weight[d * 5766 + f * 961 + k]);
        }

    Randomwalk::ResetTables();
    ASSERT_TRUE(Randomwalk::LoadData(0));
    EXPECT_EQ(Randomwalk::cdf_single_weight[2][4][33], cm_weight[2 * 5766 + 4 * 961 + 33] / gft[4 * 961 + 33]);
    EXPECT_EQ(Randomwalk::single_weight[2], 0.0);
}

TEST_F(LoadDataTest, ExtraValuesAreIgnoredAndSmallRoundingAccepted)
{
    gft[100] += 5e-7;
    gft.insert(gft.end(), {7.0, 8.0, 9.0});
    pdf[6000] -= 5e-6;
    WriteIs();
    ASSERT_TRUE(Randomwalk::LoadData(2));
    EXPECT_EQ(Randomwalk::partial_sum_arr[5].size(), 961u);
    EXPECT_NEAR(Randomwalk::partial_face_sum_arr[5], 1.0 + 5e-7, 1e-12);
}

TEST_F(LoadDataTest, BadTablesSelectorsAndMissingFilesEndTheRun)
{
    const std::vector<double> good_gft = gft, good_pdf = pdf;
    gft[10] += 2e-6;
    WriteIs();
    EXPECT_DEATH(Randomwalk::LoadData(4),
                 "korva: src/randomwalk:[0-9]+: static int Randomwalk::LoadPrmat\\(double\\*, int\\): "
                 "Assertion `abs\\(partial_face_sum_arr\\[5\\]-1.0\\)<0.000001' failed.");
    gft = good_gft;
    pdf[5766 + 3] += 2e-5;
    WriteIs();
    EXPECT_DEATH(Randomwalk::LoadData(4),
                 "Assertion `abs\\(cdf_face_single_weight\\[drc\\]\\[fno\\] - 1\\) < 0.00001' failed.");
    pdf = good_pdf;
    gft.resize(5000);
    WriteIs();
    EXPECT_DEATH(Randomwalk::LoadData(4),
                 "void ReadAllContent\\(const char\\*, double\\*, int\\): Assertion `\\(int\\)rs == size' failed.");
    gft = good_gft;
    WriteIs();
    EXPECT_DEATH(Randomwalk::LoadData(5), "Assertion `false' failed.");
    EXPECT_DEATH(Randomwalk::LoadData(-1), "Assertion `false' failed.");
    // A missing file is the user's fault: a message on the error channel
    // (routed to standard error here) and status 255.
    ASSERT_EQ(remove((std::string(IS_DIR) + "/pdf_single_weight_31.db").c_str()), 0);
    EXPECT_EXIT(
        {
            Log::ero = stderr;
            Randomwalk::LoadData(4);
        },
        ::testing::ExitedWithCode(255), "^cannot open file \\./incdata/IS/binary/single/pdf_single_weight_31\\.db\n$");
}

}  // namespace
