// The dielectric stack: merging media into faces, the cursor's neighbour
// queries.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "layers.h"
#include "log.h"
#include "tablecheck.h"
#include "testutil.h"

namespace {

struct LayersTest : ::testing::Test {
    TableSet tables;

    // Media given as {z0, z1, permittivity}; returns what building printed.
    std::string Build(const std::vector<std::vector<double>>& media)
    {
        std::vector<Medium*> deck;
        for (const auto& m : media) {
            boxes.emplace_back(0, 0, 0, m[0], 1, 1, m[1]);
            held.emplace_back(&boxes.back(), m[2]);
            deck.push_back(&held.back());
        }
        testing::internal::CaptureStdout();
        stack.reset(new Layers(tables, deck));
        return testing::internal::GetCapturedStdout();
    }
    std::deque<Cuboid> boxes;
    std::deque<Medium> held;
    std::unique_ptr<Layers> stack;
};

TEST_F(LayersTest, MediaMergeIntoFaces)
{
    const struct {
        const char* label;
        std::vector<std::vector<double>> media;
        std::string faces, out;  // pos:diel of each entry, bottom up
    } rows[] = {
        {"two stacked", {{0, 1, 3.9}, {1, 2, 2.5}}, "-1e+100:3.9 1:3.9 1e+100:2.5", ""},
        {"equal collapse, any order", {{2, 3, 2.5}, {1, 2, 2.5}, {0, 1, 2.5}}, "-1e+100:2.5 1e+100:2.5", ""},
        {"faces within tolerance", {{0, 1, 3.9}, {1 + 5e-13, 2, 2.5}}, "-1e+100:3.9 1:3.9 1e+100:2.5", ""},
        // A face of its own with no medium below it: a gap of permittivity -1.
        {"gap", {{0, 1, 3.9}, {2, 3, 2.5}}, "-1e+100:3.9 1:3.9 2:-1 1e+100:2.5", ""},
        {"three media", {{1, 2, 2.5}, {2, 3, 3.9}, {0, 1, 3.9}}, "-1e+100:3.9 1:3.9 2:2.5 1e+100:3.9", ""},
        {"conflict keeps the first", {{0, 1, 3.9}, {0, 1, 4.2}, {1, 2, 2.5}}, "-1e+100:3.9 1:3.9 1e+100:2.5",
         "different diel for same place!\n"},
        {"empty deck", {}, "-1e+100:1 1e+100:1",
         "Warning: no medium in the deck, assuming vacuum (relative permittivity 1) everywhere\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Build(row.media), row.out) << row.label;
        std::ostringstream faces;
        for (const Layer& l : tables.layers)
            faces << (faces.tellp() ? " " : "") << l.pos << ":" << l.diel;
        EXPECT_EQ(faces.str(), row.faces) << row.label;
    }
}

// Every neighbour query at the cursor in one line; "-" where a query said false.
std::string Probe(const Layers& s)
{
    double low = 7, high = 8, z = 0, d = 0;
    std::ostringstream os;
    os << s.GetNearby(low, high) << " [" << low << "," << high << "] lower " << s.GetLower() << " ";
    auto put = [&](bool ok, const double& v) { ok ? os << v << " " : os << "- "; };
    put(s.GetLowerLayer(z), z);
    put(s.GetLowerDiel(d), d);
    os << "higher " << s.GetHigher() << " ";
    put(s.GetHigherLayer(z), z);
    put(s.GetHigherDiel(d), d);
    os << "diel ";
    put(s.GetDiel(d), d);
    os << "low/high " << s.TooLow() << s.TooHigh();
    return os.str();
}

TEST_F(LayersTest, NeighbourQueriesInEveryPosition)
{
    Build({{0, 1, 3.9}, {1, 2, 2.5}, {2, 3, 4.2}});  // faces -1e100, 1, 2, +1e100
    const PSumPacket tiny = {0, false, 1, 6, 1, 1, 6};
    std::vector<double> body = {1, 2, 3, 4, 5, 6};
    tables.RegisterTrans(Layers::DielHash(3.9, 2.5), body.data(), tiny);
    tables.RegisterTrans(Layers::DielHash(2.5, 4.2), body.data(), tiny);
    EXPECT_EQ(Probe(*stack), "0 [7,8] lower -3 - - higher -3 - - diel - low/high 00");
    const std::pair<double, const char*> rows[] = {
        {-2e100, "0 [-1e+100,-1e+100] lower -4 - 3.9 higher 1 1 3.9 diel 3.9 low/high 10"},
        {0.5, "1 [-1e+100,1] lower -4 - 3.9 higher 2 2 2.5 diel 3.9 low/high 00"},
        {1.5, "1 [1,2] lower 0 -1e+100 3.9 higher 3 1e+100 4.2 diel 2.5 low/high 00"},
        {2.5, "1 [2,1e+100] lower 1 1 2.5 higher -4 - 4.2 diel 4.2 low/high 00"},
        {2e100, "0 [1e+100,1e+100] lower 2 2 4.2 higher -4 - 4.2 diel 4.2 low/high 01"},
    };
    for (const auto& row : rows) {
        stack->FindLayer(row.first);
        EXPECT_EQ(Probe(*stack), row.second) << "z = " << row.first;
    }
}

// A walk's start keeps the interface tables its layer selected last; a table
// filed again for a pair, and another selection in between (the bodies'
// walk selects pairs of its own), must still be seen at the next start.
TEST_F(LayersTest, WalkStartSeesTablesFiledOrSelectedSince)
{
    Build({{0, 1, 3.9}, {1, 2, 2.5}, {2, 3, 4.2}});
    const PSumPacket tiny = {0, false, 1, 6, 1, 1, 6};
    std::vector<double> body = {1, 2, 3, 4, 5, 6};
    const DielKey below = Layers::DielHash(3.9, 2.5), above = Layers::DielHash(2.5, 4.2);
    // The weight tables are only looked up here, never read.
    double never_read[2] = {};
    for (const DielKey& k : {below, above})
        tables.cdf_weights[k] = {(double***)&never_read[0], (std::vector<double>***)&never_read[1]};
    tables.RegisterTrans(below, body.data(), tiny);
    tables.RegisterTrans(above, body.data(), tiny);
    for (int round = 0; round < 3; ++round) {
        stack->FindLayerFromGauss(1.5);
        EXPECT_EQ(stack->lower_psum, tables.psums.at(below).second) << round;
        EXPECT_EQ(stack->upper_psum, tables.psums.at(above).second) << round;
        if (round == 0) {
            body.assign(6, 0.5);
            tables.RegisterTrans(below, body.data(), tiny);  // the old one is released
        } else {
            stack->SelectCutTrans(true, 2.5, 4.2);
        }
    }
    tables.cdf_weights.clear();  // not the registry's to release
}

// A table file fits the deck when its header holds a segment number of 31
// or 32 and a pair of the stack in the file's order; anything else is
// passed over without loading.
TEST_F(LayersTest, HeaderDecidesWhetherATableFits)
{
    Build({{0, 1, 3.9}, {1, 2, 2.5}});
    const PSumPacket trans = {0, false, 1, 6, 2, 1, 12};
    const struct {
        double seg, dlow, dhigh;
        bool fits;
    } rows[] = {
        {31, 3.9, 2.5, true},   {32.9, 3.9, 2.5, true}, {33, 3.9, 2.5, false},   {30.99, 3.9, 2.5, false},
        {NAN, 3.9, 2.5, false}, {31, 2.5, 3.9, false},  {31, 3.9, 3.9, false},   {31, 4.2, 2.5, false},
    };
    TempDir tmp;
    for (const auto& r : rows) {
        std::vector<double> body(3 + 12, 1.0 / 12);
        body[0] = r.seg, body[1] = r.dlow, body[2] = r.dhigh;
        const std::string path = tmp.Write("NumGFT_a.db", Bytes(body));
        EXPECT_EQ(tables.SLoadFile(path.c_str(), trans), r.fits) << r.seg << " " << r.dlow << " " << r.dhigh;
        tables.UnLoadData();
    }
}

// Loading screens each cube's sum and the values' signs on the way and runs
// the full check only on a suspect body: the screen must never let through
// what the full check refuses, nor refuse what it accepts.
TEST_F(LayersTest, ScreenedTablesAreJudgedAsTheFullCheckJudgesThem)
{
    Build({{0, 1, 3.9}, {1, 2, 2.5}});
    const PSumPacket trans = {0, false, 1, 6, 2, 1, 12};
    const PSumPacket half_pdf = {5, true, 1, 3, 6, 2, 36};  // blocks of 12 magnitudes, >= 0
    const struct {
        double add5, set6;  // value 5 += add5; value 6 = set6 unless NAN
        bool sound;
    } rows[] = {
        {0, NAN, true},         {5e-10, NAN, true},     {-5e-10, NAN, true},   {2e-9, NAN, false},
        {-2e-9, NAN, false},    {0, -0.0, false},       {0, INFINITY, false},
        {1.0 / 12, -0.0, true},  // a negative zero with the sum kept at 1
        {1.0 / 12, -1e-300, false},
    };
    TempDir tmp;
    tables.weight_select = 4;
    tables.check.enabled = true;
    for (const PSumPacket* p : {&trans, &half_pdf})
        for (const auto& r : rows) {
            std::vector<double> body(3 + p->size, 1.0 / 12);
            body[0] = p->half ? 32 : 31, body[1] = 3.9, body[2] = 2.5;  // the header
            body[3 + 5] += r.add5;
            if (!std::isnan(r.set6))
                body[3 + 6] = r.set6;
            const std::string name = p->type == 0 ? "NumGFT_s.db" : "hNumGFT_IS_s.db";
            const std::string path = tmp.Write(name, Bytes(body));
            const std::string what = name + " " + std::to_string(r.add5) + " " + std::to_string(r.set6);
            if (r.sound)
                EXPECT_TRUE(tables.SLoadFile(path.c_str(), *p)) << what;
            else
                try {
                    tables.SLoadFile(path.c_str(), *p);
                    ADD_FAILURE() << what;
                } catch (const InputError& e) {
                    EXPECT_NE(e.message.find(name), std::string::npos) << what;
                }
            tables.UnLoadData();
        }
}

}  // namespace
