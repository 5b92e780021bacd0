// Damaged installation data must end the run with status 255 and a message
// naming the damaged file, never with a capacitance.
#include <cmath>
#include <cstring>
#include <vector>

#include "install.h"

namespace {

const char* SINGLE = "incdata/IS/binary/single/";
const char* GFT = "tables/IS/binary/MULTI/GFT/";
const char* WVT = "tables/IS/binary/MULTI/WVT/";

// Beyond values out of range: damage that keeps every value plausible
// (scale all by 2, the last by 1000, one by 1.001; swap two neighbours).
enum Damage { TRUNCATE, NAN_VALUE, INF_VALUE, NEGATE, ZERO, SCALE, SEGMENTS, BAD_PERMITTIVITY, DUPLICATE, DIRECTORY,
              DOUBLE_ALL, LAST_X1000, NUDGE_ONE, SWAP };

// Applies the damage to `rel` in `dir`; `body` is where the values start
// (3 after a multi-dielectric header).
void Apply(const TempDir& dir, const std::string& rel, Damage damage, size_t body)
{
    const std::string path = dir.path() + "/" + rel;
    std::vector<double> v = ReadDoubles(path);
    const size_t k = body + (v.size() - body) / 2 + 1;  // some value inside the body
    switch (damage) {
    case TRUNCATE: v.pop_back(); break;
    case NAN_VALUE: v[k] = NAN; break;
    case INF_VALUE: v[k] = INFINITY; break;
    case NEGATE: v[k] = -v[k]; break;
    case ZERO: v[k] = 0; break;
    case SCALE:
        for (size_t i = body; i < v.size(); ++i) v[i] *= 10;
        break;
    case DOUBLE_ALL:
        for (size_t i = body; i < v.size(); ++i) v[i] *= 2;
        break;
    case LAST_X1000: v.back() *= 1000; break;
    case NUDGE_ONE: v[k] *= 1.001; break;
    case SWAP: std::swap(v[k], v[k + 1 < v.size() ? k + 1 : k - 1]); break;
    case SEGMENTS: v[0] = 33; break;
    case BAD_PERMITTIVITY: v[1] = -3.9; break;
    case DUPLICATE:  // a sound table that is not the same table
        v[body] = std::nextafter(v[body], 1.0);
        dir.Write(rel.substr(0, rel.rfind('.')) + "_copy.db", Bytes(v));
        return;
    case DIRECTORY:
        ASSERT_EQ(remove(path.c_str()), 0);
        MakeDirs(path);
        return;
    }
    dir.Write(rel, Bytes(v));
}

class DamagedTables : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pristine = new TempDir;
        MakeInstall(pristine->path(), "3.9:2.5");
        pristine->Write("stack.kd", StackDeck({{"oxide", 0, 1.5, 3.9}, {"lowk", 1.5, 4, 2.5}}));
    }
    static void TearDownTestSuite() { delete pristine; }
    // A fresh copy of the installation, its tables registered.
    void Copy(TempDir& dir)
    {
        ASSERT_EQ(system(("cp -a " + Quoted(pristine->path()) + "/. " + Quoted(dir.path())).c_str()), 0);
        dir.Write("bin/.gft_dir", dir.path() + "/tables/");
    }
    static TempDir* pristine;
};
TempDir* DamagedTables::pristine = nullptr;

TEST_F(DamagedTables, EveryDamageEndsWith255NamingTheFile)
{
    const struct {
        std::string dir, file;
        Damage damage;
    } rows[] = {
        {SINGLE, "GFT_single_31.db", NAN_VALUE},       {SINGLE, "GFT_single_31.db", TRUNCATE},
        {SINGLE, "GFT_single_31.db", NEGATE},          {SINGLE, "single_weight_31.db", NEGATE},
        {SINGLE, "single_weight_31.db", ZERO},         {SINGLE, "single_weight_31.db", SCALE},
        {SINGLE, "pdf_single_weight_31.db", INF_VALUE}, {SINGLE, "pdf_single_weight_31.db", SCALE},
        {SINGLE, "pdf_single_weight_31.db", DIRECTORY},
        {GFT, "NumGFT_3.9_2.5.db", NAN_VALUE},         {GFT, "NumGFT_3.9_2.5.db", SCALE},
        {GFT, "NumGFT_3.9_2.5.db", DUPLICATE},         {GFT, "hNumGFT_3.9_2.5.db", NEGATE},
        {GFT, "hNumGFT_3.9_2.5.db", SEGMENTS},         {GFT, "NumGFT_IS_3.9_2.5.db", TRUNCATE},
        {GFT, "NumGFT_IS_3.9_2.5.db", SCALE},          {GFT, "NumGFT_IS_3.9_2.5.db", BAD_PERMITTIVITY},
        {WVT, "NumWVT_3.9_2.5.db", INF_VALUE},         {WVT, "NumWVT_3.9_2.5.db", ZERO},
        {WVT, "NumWVT_3.9_2.5.db", SCALE},             {WVT, "NumWVT_3.9_2.5.db", DIRECTORY},
        // Values that stay plausible, each kind of table in turn.
        {GFT, "hNumGFT_3.9_2.5.db", SWAP},
        {GFT, "hNumGFT_3.9_2.5.db", NUDGE_ONE},        {GFT, "hNumGFT_3.9_2.5.db", DOUBLE_ALL},
        {GFT, "NumGFT_3.9_2.5.db", SWAP},              {GFT, "NumGFT_3.9_2.5.db", NUDGE_ONE},
        {WVT, "NumWVT_3.9_2.5.db", LAST_X1000},        {WVT, "NumWVT_3.9_2.5.db", DOUBLE_ALL},
        {WVT, "NumWVT_3.9_2.5.db", SWAP},              {WVT, "NumWVT_3.9_2.5.db", NUDGE_ONE},
        {GFT, "NumGFT_IS_3.9_2.5.db", SWAP},           {GFT, "NumGFT_IS_3.9_2.5.db", NUDGE_ONE},
        {SINGLE, "single_weight_31.db", DOUBLE_ALL},   {SINGLE, "pdf_single_weight_31.db", SWAP},
        {SINGLE, "GFT_single_31.db", SWAP},            {SINGLE, "pdf_single_weight_31.db", NUDGE_ONE},
    };
    for (const auto& r : rows) {
        TempDir dir;
        Copy(dir);
        Apply(dir, r.dir + r.file, r.damage, r.dir == SINGLE ? 0 : 3);
        RunResult run = Korva(dir.path(), "-f stack.kd -t 200");
        const std::string what = r.dir + r.file + " damage " + std::to_string(r.damage);
        EXPECT_EQ(run.status, 255) << what << "\n" << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(r.file), std::string::npos) << what << "\n" << run.out;
        if (r.damage == DUPLICATE) {
            EXPECT_NE(run.out.find(r.file.substr(0, r.file.size() - 3) + "_copy.db"), std::string::npos);
        }
        EXPECT_EQ(run.out.find("Master Cap. Result"), std::string::npos) << what;
    }
}

TEST_F(DamagedTables, IdenticalCopiesAndMissingPairs)
{
    TempDir dir;
    Copy(dir);
    // An identical second file for a pair is harmless.
    const std::string gft = dir.path() + "/" + GFT;
    ASSERT_EQ(system(("cp " + Quoted(gft + "NumGFT_3.9_2.5.db") + " " + Quoted(gft + "NumGFT_again.db")).c_str()), 0);
    RunResult run = Korva(dir.path(), "-f stack.kd -t 200");
    EXPECT_EQ(run.status, 0) << run.out;
    // A pair without tables is made before any walk.
    dir.Write("other.kd", StackDeck({{"oxide", 0, 1.5, 3.9}, {"lowk", 1.5, 4, 2.2}}));
    run = Korva(dir.path(), "-f other.kd -t 200");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Generated the tables of permittivity pair 3.9 / 2.2"), std::string::npos) << run.out;
}

}  // namespace
