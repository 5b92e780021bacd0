// The dielectric stack: merging media into faces, the cursor and its queries.
#include "layers_test_util.h"

namespace {

using StackTest = LayersTest;

void ExpectStack(const std::vector<Layer>& expected)
{
    ASSERT_EQ(Layers::layers.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Layers::layers[i].pos, expected[i].pos) << "entry " << i;
        EXPECT_EQ(Layers::layers[i].diel, expected[i].diel) << "entry " << i;
    }
}

// A tiny transition table so that refreshes next to the 3.9 / 2.5 interface
// find something.
void RegisterPair(double dlow, double dhigh)
{
    PSumPacket tiny = {0, false, 1, 6, 1, 1, 6};
    std::vector<double> body = Ramp(6);
    Layers::RegisterTrans(Layers::DielHash(dlow, dhigh), body.data(), tiny);
}

TEST_F(StackTest, TwoStackedMediaGiveThreeFaces)
{
    BuildOxideOnLowK();
    ExpectStack({{-1e100, 3.9}, {1, 3.9}, {1e100, 2.5}});
}

TEST_F(StackTest, EqualPermittivitiesCollapse)
{
    AddMedium(0, 1, 3.9);
    AddMedium(1, 2, 3.9);
    Build();
    ExpectStack({{-1e100, 3.9}, {1e100, 3.9}});

    // Deck order does not matter, and a third equal medium merges as well.
    Layers::ResetAll();
    deck.clear();
    AddMedium(2, 3, 2.5);
    AddMedium(1, 2, 2.5);
    AddMedium(0, 1, 2.5);
    Build();
    ExpectStack({{-1e100, 2.5}, {1e100, 2.5}});
}

TEST_F(StackTest, FacesCloserThanToleranceAreOne)
{
    AddMedium(0, 1.0, 3.9);
    AddMedium(1.0 + 5e-13, 2, 2.5);
    Build();
    ExpectStack({{-1e100, 3.9}, {1.0, 3.9}, {1e100, 2.5}});

    deck.clear();
    AddMedium(0, 1.0, 3.9);
    AddMedium(1.0 + 2e-12, 2, 2.5);
    Build();
    // The bottom of the upper medium is a face of its own, with no medium
    // below it: a gap of permittivity -1.
    ExpectStack({{-1e100, 3.9}, {1.0, 3.9}, {1.0 + 2e-12, -1}, {1e100, 2.5}});
}

TEST_F(StackTest, GapKeepsUnsetPermittivityAndThreeMediaStayApart)
{
    AddMedium(0, 1, 3.9);
    AddMedium(2, 3, 2.5);
    Build();
    ExpectStack({{-1e100, 3.9}, {1, 3.9}, {2, -1}, {1e100, 2.5}});

    deck.clear();
    AddMedium(1, 2, 2.5);
    AddMedium(2, 3, 3.9);
    AddMedium(0, 1, 3.9);
    Build();
    ExpectStack({{-1e100, 3.9}, {1, 3.9}, {2, 2.5}, {1e100, 3.9}});
}

TEST_F(StackTest, ConflictingPermittivityOnOneFaceKeepsTheFirst)
{
    AddMedium(0, 1, 3.9);
    AddMedium(0, 1, 4.2);
    AddMedium(1, 2, 2.5);
    std::string out = CaptureOut([&] { Build(); });
    EXPECT_EQ(out, "different diel for same place!\n");
    ExpectStack({{-1e100, 3.9}, {1, 3.9}, {1e100, 2.5}});
}

TEST_F(StackTest, EmptyDeckIsVacuumWithOneWarning)
{
    std::string out = CaptureOut([&] { Build(); });
    EXPECT_EQ(out, "Warning: no medium in the deck, assuming vacuum (relative permittivity 1) everywhere\n");
    ExpectStack({{-1e100, 1}, {1e100, 1}});

    Layers stack = Build();
    EXPECT_NE(stack.FindLayer(0), nullptr);
    EXPECT_EQ(stack.cur_layer, 1);
    double d = 0;
    EXPECT_TRUE(stack.GetDiel(d));
    EXPECT_EQ(d, 1.0);
}

TEST_F(StackTest, ConstructionStartsFromScratchAndResetsTheWalker)
{
    AddMedium(0, 1, 3.9);
    AddMedium(1, 2, 2.5);
    Build();
    Layers second = Build();
    ExpectStack({{-1e100, 3.9}, {1, 3.9}, {1e100, 2.5}});
    EXPECT_EQ(second.cur_layer, -1);
    EXPECT_EQ(second.lower_psum, nullptr);
    EXPECT_EQ(second.upper_wpdf_sign, nullptr);
    EXPECT_EQ(second.half_wpdf, nullptr);
}

TEST_F(StackTest, FindLayerPutsFacesIntoTheLayerAbove)
{
    Layers stack = BuildOxideOnLowK();
    RegisterPair(3.9, 2.5);
    EXPECT_EQ(stack.FindLayer(1.0), &Layers::layers[2]);
    EXPECT_EQ(stack.cur_layer, 2);
    EXPECT_EQ(stack.FindLayer(0.999), &Layers::layers[1]);
    EXPECT_EQ(stack.cur_layer, 1);
    EXPECT_EQ(stack.FindLayer(1e100), nullptr);
    EXPECT_EQ(stack.cur_layer, -2);
    EXPECT_EQ(stack.FindLayerFromGauss(-2e100), &Layers::layers[0]);
    EXPECT_EQ(stack.cur_layer, 0);
}

TEST_F(StackTest, MovesAndTheirLimits)
{
    Layers stack = BuildOxideOnLowK();
    RegisterPair(3.9, 2.5);

    EXPECT_FALSE(stack.MoveUp());
    EXPECT_FALSE(stack.MoveDown());
    EXPECT_EQ(stack.cur_layer, -1);

    stack.FindLayer(0.5);
    EXPECT_TRUE(stack.MoveUp());
    EXPECT_EQ(stack.cur_layer, 2);
    EXPECT_FALSE(stack.MoveUp());
    EXPECT_EQ(stack.cur_layer, -2);
    EXPECT_EQ(CaptureOut([&] { EXPECT_FALSE(stack.MoveUp()); }), "moving over highest layer!\n");
    EXPECT_EQ(stack.cur_layer, -2);
    EXPECT_TRUE(stack.MoveDown());
    EXPECT_EQ(stack.cur_layer, 2);
    EXPECT_TRUE(stack.MoveDown());
    EXPECT_EQ(stack.cur_layer, 1);
    EXPECT_FALSE(stack.MoveDown());
    EXPECT_EQ(stack.cur_layer, 0);
    EXPECT_EQ(CaptureOut([&] { EXPECT_FALSE(stack.MoveDown()); }), "moving below lowest layer!\n");
    EXPECT_EQ(stack.cur_layer, 0);
    EXPECT_TRUE(stack.MoveUp());
    EXPECT_EQ(stack.cur_layer, 1);

    stack.cur_layer = -5;
    EXPECT_DEATH(stack.MoveUp(), FatalText("cur_layer >= 0"));
}

TEST_F(StackTest, QueriesWithCursorNotSet)
{
    Layers stack = BuildOxideOnLowK();
    double low = 7, high = 8, z = 9, d = 10;
    EXPECT_FALSE(stack.GetNearby(low, high));
    EXPECT_EQ(low, 7);
    EXPECT_EQ(high, 8);
    EXPECT_EQ(stack.GetLower(), -3);
    EXPECT_EQ(stack.GetHigher(), -3);
    EXPECT_FALSE(stack.GetLowerLayer(z));
    EXPECT_FALSE(stack.GetHigherLayer(z));
    EXPECT_FALSE(stack.GetLowerDiel(d));
    EXPECT_FALSE(stack.GetHigherDiel(d));
    EXPECT_FALSE(stack.GetDiel(d));
    EXPECT_EQ(z, 9);
    EXPECT_EQ(d, 10);
    EXPECT_FALSE(stack.TooLow());
    EXPECT_FALSE(stack.TooHigh());
}

TEST_F(StackTest, QueriesAboveTheTopAndInTheBottomLayer)
{
    Layers stack = BuildOxideOnLowK();
    double low = 0, high = 0, z = 0, d = 0;

    stack.FindLayer(2e100);
    EXPECT_FALSE(stack.GetNearby(low, high));
    EXPECT_EQ(low, 1e100);
    EXPECT_EQ(high, 1e100);
    EXPECT_EQ(stack.GetLower(), 1);
    EXPECT_TRUE(stack.GetLowerLayer(z));
    EXPECT_EQ(z, 1.0);
    EXPECT_TRUE(stack.GetLowerDiel(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(stack.GetHigher(), -4);
    EXPECT_FALSE(stack.GetHigherLayer(z));
    EXPECT_TRUE(stack.GetHigherDiel(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(stack.GetDiel(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(stack.TooHigh());
    EXPECT_FALSE(stack.TooLow());

    stack.FindLayer(-2e100);
    EXPECT_FALSE(stack.GetNearby(low, high));
    EXPECT_EQ(low, -1e100);
    EXPECT_EQ(high, -1e100);
    EXPECT_EQ(stack.GetLower(), -4);
    EXPECT_FALSE(stack.GetLowerLayer(z));
    EXPECT_TRUE(stack.GetLowerDiel(d));
    EXPECT_EQ(d, 3.9);
    EXPECT_EQ(stack.GetHigher(), 1);
    EXPECT_TRUE(stack.GetHigherLayer(z));
    EXPECT_EQ(z, 1.0);
    EXPECT_TRUE(stack.GetHigherDiel(d));
    EXPECT_EQ(d, 3.9);
    EXPECT_TRUE(stack.GetDiel(d));
    EXPECT_EQ(d, 3.9);
    EXPECT_TRUE(stack.TooLow());
    EXPECT_FALSE(stack.TooHigh());
}

TEST_F(StackTest, QueriesInInnerLayers)
{
    AddMedium(0, 1, 3.9);
    AddMedium(1, 2, 2.5);
    AddMedium(2, 3, 4.2);
    Layers stack = Build();  // faces -1e100, 1, 2, +1e100
    RegisterPair(3.9, 2.5);
    RegisterPair(2.5, 4.2);
    double low = 0, high = 0, z = 0, d = 0;

    stack.FindLayer(0.5);  // layer 1: no face below its lower face
    EXPECT_TRUE(stack.GetNearby(low, high));
    EXPECT_EQ(low, -1e100);
    EXPECT_EQ(high, 1.0);
    EXPECT_EQ(stack.GetLower(), -4);
    EXPECT_FALSE(stack.GetLowerLayer(z));
    EXPECT_TRUE(stack.GetLowerDiel(d));
    EXPECT_EQ(d, 3.9);
    EXPECT_EQ(stack.GetHigher(), 2);
    EXPECT_TRUE(stack.GetHigherLayer(z));
    EXPECT_EQ(z, 2.0);
    EXPECT_TRUE(stack.GetHigherDiel(d));
    EXPECT_EQ(d, 2.5);

    stack.FindLayer(1.5);  // layer 2
    EXPECT_TRUE(stack.GetNearby(low, high));
    EXPECT_EQ(low, 1.0);
    EXPECT_EQ(high, 2.0);
    EXPECT_EQ(stack.GetLower(), 0);
    EXPECT_TRUE(stack.GetLowerLayer(z));
    EXPECT_EQ(z, -1e100);
    EXPECT_TRUE(stack.GetLowerDiel(d));
    EXPECT_EQ(d, 3.9);
    EXPECT_EQ(stack.GetHigher(), 3);
    EXPECT_TRUE(stack.GetHigherLayer(z));
    EXPECT_EQ(z, 1e100);
    EXPECT_TRUE(stack.GetHigherDiel(d));
    EXPECT_EQ(d, 4.2);
    EXPECT_TRUE(stack.GetDiel(d));
    EXPECT_EQ(d, 2.5);

    stack.FindLayer(2.5);  // layer 3, the last
    EXPECT_TRUE(stack.GetNearby(low, high));
    EXPECT_EQ(low, 2.0);
    EXPECT_EQ(high, 1e100);
    EXPECT_EQ(stack.GetLower(), 1);
    EXPECT_TRUE(stack.GetLowerLayer(z));
    EXPECT_EQ(z, 1.0);
    EXPECT_TRUE(stack.GetLowerDiel(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(stack.GetHigher(), -4);
    EXPECT_FALSE(stack.GetHigherLayer(z));
    EXPECT_TRUE(stack.GetHigherDiel(d));
    EXPECT_EQ(d, 4.2);
    EXPECT_FALSE(stack.TooLow());
    EXPECT_FALSE(stack.TooHigh());
}

TEST_F(StackTest, DumpAndConstructionWriteOnlyOnTheInfoChannel)
{
    std::string out = CaptureOut([&] {
        Layers stack = BuildOxideOnLowK();
        stack.Dump();
    });
    EXPECT_EQ(out, "");
}

}  // namespace
