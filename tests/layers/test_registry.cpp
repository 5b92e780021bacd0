// The permittivity-pair key, registration of tables, lookups, the refreshes
// of a walker's table pointers and the release of everything.
#include "layers_test_util.h"

namespace {

using RegistryTest = LayersTest;

// Small shapes keep the arithmetic checkable by hand.
const PSumPacket kTrans = {0, false, 2, 3, 2, 1, 12};   // 2 cuts, 3 faces, 2 panels
const PSumPacket kHalfTrans = {1, true, 1, 3, 2, 1, 6};
const PSumPacket kWei = {2, false, 2, 3, 1, 1, 6};
const PSumPacket kHalfWei = {3, true, 1, 3, 1, 1, 3};
const PSumPacket kPdf = {4, false, 2, 2, 3, 2, 24};     // 2 cuts, 2 directions, 3 faces, 2 panels
const PSumPacket kHalfPdf = {5, true, 1, 2, 3, 2, 12};

const DielKey kKey = {3.9, 2.5};  // 3.9 below 2.5

// Failing calls print on the error channel; death tests read it from stderr.
#define EXPECT_MISSING(statement, pair, hint) \
    EXPECT_DEATH({ Log::ero = stderr; statement; }, MissingPair(pair, hint))

TEST(DielHashTest, KeepsExactValuesAndOrder)
{
    const struct {
        double low, high;
        DielKey key;
    } rows[] = {
        {3.9, 2.5, {3.9, 2.5}},     {2.5, 3.9, {2.5, 3.9}},   {3.904, 2.5, {3.904, 2.5}},
        {2.5, 2.5, {0, 0}},         {2.5, 2.5 + 5e-13, {0, 0}}, {2.5, 2.5 + 2e-12, {2.5, 2.5 + 2e-12}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Layers::DielHash(r.low, r.high), r.key) << r.low << " / " << r.high;
}

TEST_F(RegistryTest, TransitionSumsRestartPerCutAndRunAcrossFaces)
{
    std::vector<double> body = Ramp(12);
    Layers::RegisterTrans(kKey, body.data(), kTrans);
    const PSumEntry& e = Layers::psums.at(kKey);
    const double cum[2][3][2] = {{{1, 3}, {6, 10}, {15, 21}}, {{7, 15}, {24, 34}, {45, 57}}};
    for (int a = 0; a < 2; ++a)
        for (int f = 0; f < 3; ++f) {
            EXPECT_EQ(e.first[a][f], cum[a][f][1]);
            EXPECT_EQ(e.second[a][f], std::vector<double>(cum[a][f], cum[a][f] + 2));
        }
    EXPECT_TRUE(Layers::half_psums.empty());

    // A later table for the pair replaces the first; half tables go apart.
    std::vector<double> later = Ramp(12, 100);
    Layers::RegisterTrans(kKey, later.data(), kTrans);
    EXPECT_EQ(Layers::psums[kKey].first[0][0], 201);
    Layers::RegisterTrans(kKey, body.data(), kHalfTrans);
    EXPECT_EQ(Layers::half_psums[kKey].first[0][2], 21);
    EXPECT_EQ(Layers::psums.size(), 1u);

    // Weights keep the first table instead.
    Layers::RegisterWei(kKey, body.data(), kWei);
    Layers::RegisterWei(kKey, later.data(), kWei);
    EXPECT_EQ(Layers::weight_array[kKey][0][0][0][0], 1);
    EXPECT_EQ(Layers::weight_array[kKey][1][2][0][0], 6);
    Layers::RegisterWei(kKey, later.data(), kHalfWei);
    EXPECT_EQ(Layers::half_weight_array[kKey][0][1][0][0], 101);
}

TEST_F(RegistryTest, DensitiesAccumulateMagnitudesPerDirectionAndKeepSigns)
{
    std::vector<double> body = Ramp(24);
    for (int i : {1, 4, 13, 23})
        body[i] = -body[i];
    for (int select : {2, 4}) {
        Layers::ResetAll();
        Layers::weight_select = select;
        Layers::RegisterPdf(kKey, body.data(), kPdf);
        const WeightPdfEntry& e = Layers::cdf_weights[kKey];
        const double run[6] = {1, 3, 6, 10, 15, 21};
        for (int d = 0; d < 6; ++d)
            EXPECT_EQ(e.second[0][0][d / 2][d % 2], run[d]);
        // Direction 1 of cut 1 starts at body position 18: 19, 20 | 21, 22 | 23, 24.
        EXPECT_EQ(e.second[1][1][0][0], 19);
        EXPECT_EQ(e.second[1][1][1][1], 19 + 20 + 21 + 22);
        EXPECT_EQ(e.first[1][1][0], 39);
        EXPECT_EQ(e.first[1][1][2], 19 + 20 + 21 + 22 + 23 + 24);
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                EXPECT_EQ(e.second[a][b][2].back(), e.first[a][b][2]);

        WeightSignEntry signs = Layers::QuerySigns(3.9, 2.5);
        ASSERT_NE(signs, nullptr);
        for (int i = 0; i < 24; ++i) {
            int a = i / 12, b = i / 6 % 2, c = i / 2 % 3, d = i % 2;
            ASSERT_EQ(signs[a][b][c].size(), 2u);
            EXPECT_EQ(signs[a][b][c][d], body[i] < 0 ? -1 : 1) << "panel " << i;
        }

        // A later unsigned table for the pair replaces it and drops the signs.
        std::vector<double> later = Ramp(24, 1000);
        Layers::RegisterPdf(kKey, later.data(), kPdf);
        EXPECT_EQ(Layers::cdf_weights[kKey].second[0][0][0][0], 1000);
        EXPECT_EQ(Layers::QuerySigns(3.9, 2.5), nullptr);
        EXPECT_TRUE(Layers::cdf_weight_signs.empty());
    }
    // Half densities only need magnitudes.
    Layers::RegisterPdf(kKey, body.data(), kHalfPdf);
    EXPECT_EQ(Layers::cdf_half_weights[kKey].first[0][0][2], 1 + 2 + 3 + 4 + 5 + 6);
    EXPECT_TRUE(Layers::cdf_weight_signs.empty());
}

// Transition table whose panel probabilities are 1/12 each.
void RegisterUniformTrans(const DielKey& key)
{
    std::vector<double> p(12, 1.0 / 12);
    Layers::RegisterTrans(key, p.data(), kTrans);
}

TEST_F(RegistryTest, CommonWeightValuesUnderSelectorsZeroAndOne)
{
    RegisterUniformTrans(kKey);
    std::vector<double> body = Ramp(24, -5);  // includes 0 and negative values
    for (double& v : body)
        v /= 4;
    // Selector 1 keeps the values, selector 0 divides by the panel probability.
    for (int select : {1, 0}) {
        Layers::weight_select = select;
        Layers::RegisterPdf(kKey, body.data(), kPdf);
        const WeightPdfEntry& e = Layers::cdf_weights[kKey];
        for (int i = 0; i < 24; ++i)
            EXPECT_NEAR(e.second[i / 12][i / 6 % 2][i / 2 % 3][i % 2], body[i] * (select ? 1 : 12), 1e-9)
                << "selector " << select << ", panel " << i;
        EXPECT_EQ(e.first[1][1][2], 0);
        EXPECT_TRUE(Layers::cdf_weight_signs.empty());
    }
}

TEST_F(RegistryTest, CommonWeightValuesAreChecked)
{
    Layers::weight_select = 3;
    std::vector<double> body(24, 1.0);
    // No transition table for the pair yet: a failed lookup, never a null read.
    EXPECT_MISSING(Layers::RegisterPdf(kKey, body.data(), kPdf), "3.90 / 2.50", true);

    std::vector<double> p(12, 1.0 / 12);
    p[7] = 0;  // cut 1, face 0, panel 1
    Layers::RegisterTrans(kKey, p.data(), kTrans);
    EXPECT_DEATH(Layers::RegisterPdf(kKey, body.data(), kPdf), FatalText("ps>0"));

    RegisterUniformTrans(kKey);
    for (double big : {100.0 / 12, -100.0 / 12}) {
        body[17] = big;
        EXPECT_DEATH(Layers::RegisterPdf(kKey, body.data(), kPdf),
                     FatalText("abs( data[packet.index(a, b, c, d)] / ps )<100"));
    }
    Layers::weight_select = 5;
    EXPECT_DEATH(Layers::RegisterPdf(kKey, body.data(), kPdf), FatalText("false"));
}

TEST_F(RegistryTest, LookupsAndHalfUpdatesFindTheirEntriesOrFail)
{
    std::vector<double> body = Ramp(24);
    Layers::weight_select = 4;
    for (const PSumPacket* p : {&kTrans, &kHalfTrans})
        Layers::RegisterTrans(kKey, body.data(), *p);
    for (const PSumPacket* p : {&kWei, &kHalfWei})
        Layers::RegisterWei(kKey, body.data(), *p);
    for (const PSumPacket* p : {&kPdf, &kHalfPdf})
        Layers::RegisterPdf(kKey, body.data(), *p);

    double** face = nullptr;
    std::vector<double>** psum = nullptr;
    double**** weights = nullptr;
    double*** wface = nullptr;
    std::vector<double>*** values = nullptr;
    Layers stack = BuildOxideOnLowK();
    Layers::QueryPSum(3.9, 2.5, face, psum);
    Layers::QueryWSum(3.9, 2.5, weights);
    stack.Query_PDF_W_Sum(3.9, 2.5, wface, values);
    EXPECT_EQ(face, Layers::psums[kKey].first);
    EXPECT_EQ(psum, Layers::psums[kKey].second);
    EXPECT_EQ(weights, Layers::weight_array[kKey]);
    EXPECT_EQ(wface, Layers::cdf_weights[kKey].first);
    EXPECT_EQ(values, Layers::cdf_weights[kKey].second);
    stack.UpdateHalfPSum(3.9, 2.5);
    stack.UpdateHalfWSum(3.9, 2.5);
    stack.Update_PDF_Half_WSum(3.9, 2.5);
    EXPECT_EQ(stack.GetHalfPartialFaceSum(), Layers::half_psums[kKey].first);
    EXPECT_EQ(stack.GetHalfPartialSum(), Layers::half_psums[kKey].second);
    EXPECT_EQ(stack.GetHalfWeightCross(), Layers::half_weight_array[kKey]);
    EXPECT_EQ(stack.GetWeightHalfPartialFaceSum(), Layers::cdf_half_weights[kKey].first);
    EXPECT_EQ(stack.GetWeightHalfPartialSum(), Layers::cdf_half_weights[kKey].second);

    // Only the transition lookups add the hint about the table folder.
    EXPECT_MISSING(Layers::QueryPSum(2.5, 3.9, face, psum), "2.50 / 3.90", true);
    EXPECT_MISSING(Layers::QueryWSum(2.5, 3.9, weights), "2.50 / 3.90", false);
    EXPECT_MISSING(stack.Query_PDF_W_Sum(2.5, 3.9, wface, values), "2.50 / 3.90", false);
    EXPECT_MISSING(stack.UpdateHalfPSum(2.5, 3.9), "2.50 / 3.90", true);
    EXPECT_MISSING(stack.UpdateHalfWSum(2.5, 3.9), "2.50 / 3.90", false);
    EXPECT_MISSING(stack.Update_PDF_Half_WSum(2.5, 3.9), "2.50 / 3.90", false);
    // Equal permittivities are never a registered pair.
    EXPECT_MISSING(Layers::QueryPSum(3.9, 3.9, face, psum), "3.90 / 3.90", true);
}

TEST_F(RegistryTest, CursorRefreshPicksTheInterfacesAround)
{
    AddMedium(0, 1, 3.9);
    AddMedium(1, 2, 2.5);
    AddMedium(2, 3, 4.2);
    Layers stack = Build();
    std::vector<double> body = Ramp(12);
    const DielKey upper_key = Layers::DielHash(2.5, 4.2);
    Layers::RegisterTrans(kKey, body.data(), kTrans);
    Layers::RegisterTrans(upper_key, body.data(), kTrans);

    stack.FindLayer(1.5);
    EXPECT_EQ(stack.GetPartialFaceSum(true), Layers::psums[kKey].first);
    EXPECT_EQ(stack.GetPartialSum(true), Layers::psums[kKey].second);
    EXPECT_EQ(stack.GetPartialFaceSum(false), Layers::psums[upper_key].first);
    EXPECT_EQ(stack.GetPartialSum(false), Layers::psums[upper_key].second);

    // Moving into the bottom layer finds no interface below: the lower
    // pointers keep what they had, the upper ones follow.
    stack.MoveDown();
    EXPECT_EQ(stack.GetPartialFaceSum(true), Layers::psums[kKey].first);
    EXPECT_EQ(stack.GetPartialFaceSum(false), Layers::psums[kKey].first);
}

TEST_F(RegistryTest, NoLookupWhereNeighboursShareThePermittivity)
{
    Layers stack = BuildOxideOnLowK();
    double** face = reinterpret_cast<double**>(&stack);
    std::vector<double>** sums = reinterpret_cast<std::vector<double>**>(&stack);
    stack.lower_psum_face = stack.upper_psum_face = face;
    stack.lower_psum = stack.upper_psum = sums;
    // Nothing is registered, so any lookup would stop the test.
    stack.FindLayer(-2e100);  // layer 0
    stack.FindLayer(2e100);   // above the top face
    EXPECT_EQ(stack.lower_psum_face, face);
    EXPECT_EQ(stack.upper_psum_face, face);
    EXPECT_EQ(stack.lower_psum, sums);
    EXPECT_EQ(stack.upper_psum, sums);
    // ... while a layer next to the interface needs the pair.
    EXPECT_MISSING(stack.FindLayer(0.5), "3.90 / 2.50", true);
    EXPECT_MISSING(stack.FindLayer(1.5), "3.90 / 2.50", true);

    deck.clear();
    AddMedium(0, 1, 2.5);
    Layers single = Build();
    EXPECT_NE(single.FindLayerFromGauss(0.5), nullptr);
    EXPECT_EQ(single.lower_wpdf, nullptr);
    EXPECT_EQ(single.upper_wpdf, nullptr);
}

TEST_F(RegistryTest, UnsetPermittivityNextToTheCursorIsFatal)
{
    AddMedium(0, 1, 3.9);
    AddMedium(2, 3, 3.9);
    Layers stack = Build();  // {-1e100, 3.9} {1, 3.9} {2, -1} {1e100, 3.9}
    Layers::weight_select = 4;
    const std::string high = FatalText("( abs(dhigh - (-1) ) > MIE )");
    const std::string cur = FatalText("( abs(dcur - (-1) ) > MIE )");
    EXPECT_DEATH(stack.FindLayerFromGauss(0.5), high);
    EXPECT_DEATH(stack.FindLayerFromGauss(1.5), cur);
    EXPECT_DEATH(stack.FindLayerFromGauss(2.5), FatalText("( abs(dlow - (-1) ) > MIE )"));

    // The cursor refresh looks up first, then checks.
    std::vector<double> body = Ramp(12);
    Layers::RegisterTrans(Layers::DielHash(3.9, -1), body.data(), kTrans);
    EXPECT_DEATH(stack.FindLayer(0.5), high);
    Layers::RegisterTrans(Layers::DielHash(-1, 3.9), body.data(), kTrans);
    EXPECT_DEATH(stack.FindLayer(1.5), cur);
}

TEST_F(RegistryTest, GaussianRefreshFollowsTheSelector)
{
    Layers stack = BuildOxideOnLowK();
    std::vector<double> body = Ramp(24);
    body[5] = -6;
    Layers::RegisterTrans(kKey, body.data(), kTrans);
    Layers::RegisterWei(kKey, body.data(), kWei);

    Layers::weight_select = 4;
    Layers::RegisterPdf(kKey, body.data(), kPdf);
    stack.FindLayerFromGauss(0.5);
    EXPECT_EQ(stack.GetWeightPartialFaceSum(false), Layers::cdf_weights[kKey].first);
    EXPECT_EQ(stack.GetWeightPartialSum(false), Layers::cdf_weights[kKey].second);
    EXPECT_EQ(stack.GetWeightCross(false), Layers::weight_array[kKey]);
    EXPECT_EQ(stack.GetWeightPartialSign(false), Layers::cdf_weight_signs[kKey]);
    // The start layer's transition tables are selected as well.
    EXPECT_EQ(stack.GetPartialSum(false), Layers::psums[kKey].second);
    stack.FindLayerFromGauss(1.5);
    EXPECT_EQ(stack.GetWeightPartialSum(true), Layers::cdf_weights[kKey].second);
    EXPECT_EQ(stack.GetWeightPartialSign(true), Layers::cdf_weight_signs[kKey]);

    // Selector 0 needs the transition table as well, selector 1 does not.
    RegisterUniformTrans(kKey);
    std::vector<double> values(24, 0.5);
    Layers::weight_select = 0;
    Layers::RegisterPdf(kKey, values.data(), kPdf);
    Layers fresh = Build();
    fresh.FindLayerFromGauss(0.5);
    EXPECT_EQ(fresh.GetPartialSum(false), Layers::psums[kKey].second);
    EXPECT_EQ(fresh.GetWeightCross(false), nullptr);
    EXPECT_EQ(fresh.GetWeightPartialSign(false), nullptr);

    Layers::weight_select = 1;
    Layers other = Build();
    other.FindLayerFromGauss(0.5);
    EXPECT_EQ(other.GetWeightPartialSum(false), Layers::cdf_weights[kKey].second);
}

TEST_F(RegistryTest, UnloadReleasesEverythingOnce)
{
    Layers::weight_select = 2;
    std::vector<double> body = Ramp(24);
    body[0] = -1;
    for (DielKey key : {kKey, DielKey{2.5, 3.9}}) {
        for (const PSumPacket* p : {&kTrans, &kHalfTrans})
            Layers::RegisterTrans(key, body.data(), *p);
        for (const PSumPacket* p : {&kWei, &kWei, &kHalfWei})
            Layers::RegisterWei(key, body.data(), *p);
        for (const PSumPacket* p : {&kPdf, &kPdf, &kHalfPdf})
            Layers::RegisterPdf(key, body.data(), *p);
    }
    EXPECT_EQ(Layers::cdf_weight_signs.size(), 2u);
    Layers::UnLoadData();
    EXPECT_EQ(Layers::psums.size() + Layers::half_psums.size() + Layers::weight_array.size() +
                  Layers::half_weight_array.size() + Layers::cdf_weights.size() +
                  Layers::cdf_half_weights.size() + Layers::cdf_weight_signs.size(),
              0u);
    Layers::UnLoadData();  // harmless; leaks would show under the sanitizer build

    // Full-size packets release with their own shapes as well.
    std::vector<double> full(Layers::pdf.size, 1e-6);
    full[7] = -1e-6;
    Layers::weight_select = 4;
    Layers::RegisterTrans(kKey, full.data(), Layers::trans);
    Layers::RegisterPdf(kKey, full.data(), Layers::pdf);
    Layers::RegisterPdf(kKey, full.data(), Layers::hpdf);
    Layers::RegisterWei(kKey, full.data(), Layers::wei);
    EXPECT_EQ(Layers::QuerySigns(3.9, 2.5)[0][0][0][7], -1);
    EXPECT_EQ(Layers::QuerySigns(3.9, 2.5)[29][2][5].size(), 961u);
    Layers::ResetAll();
    EXPECT_EQ(Layers::weight_select, 0);
    EXPECT_TRUE(Layers::layers.empty());
}

}  // namespace
