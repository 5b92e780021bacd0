// The dielectric stack: merging media into faces, the cursor and its queries.
#include "layers_test_util.h"

#include <sstream>

namespace {

using StackTest = LayersTest;

struct MediumRow {
    double z0, z1, diel;
};

void ExpectStack(const std::vector<Layer>& expected, const std::string& label)
{
    ASSERT_EQ(Layers::layers.size(), expected.size()) << label;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Layers::layers[i].pos, expected[i].pos) << label << ", entry " << i;
        EXPECT_EQ(Layers::layers[i].diel, expected[i].diel) << label << ", entry " << i;
    }
}

// A tiny transition table so that refreshes next to an interface find something.
void RegisterPair(double dlow, double dhigh)
{
    PSumPacket tiny = {0, false, 1, 6, 1, 1, 6};
    std::vector<double> body = Ramp(6);
    Layers::RegisterTrans(Layers::DielHash(dlow, dhigh), body.data(), tiny);
}

TEST_F(StackTest, MediaMergeIntoFaces)
{
    const double top = 1e100, bottom = -1e100;
    struct Row {
        const char* label;
        std::vector<MediumRow> media;
        std::vector<Layer> expected;
        std::string out;
    } rows[] = {
        {"two stacked", {{0, 1, 3.9}, {1, 2, 2.5}}, {{bottom, 3.9}, {1, 3.9}, {top, 2.5}}, ""},
        {"equal collapse", {{0, 1, 3.9}, {1, 2, 3.9}}, {{bottom, 3.9}, {top, 3.9}}, ""},
        {"three equal, any order", {{2, 3, 2.5}, {1, 2, 2.5}, {0, 1, 2.5}}, {{bottom, 2.5}, {top, 2.5}}, ""},
        {"faces within tolerance", {{0, 1, 3.9}, {1 + 5e-13, 2, 2.5}}, {{bottom, 3.9}, {1, 3.9}, {top, 2.5}}, ""},
        // A face of its own with no medium below it: a gap of permittivity -1.
        {"thin gap", {{0, 1, 3.9}, {1 + 2e-12, 2, 2.5}},
         {{bottom, 3.9}, {1, 3.9}, {1 + 2e-12, -1}, {top, 2.5}}, ""},
        {"gap", {{0, 1, 3.9}, {2, 3, 2.5}}, {{bottom, 3.9}, {1, 3.9}, {2, -1}, {top, 2.5}}, ""},
        {"three media", {{1, 2, 2.5}, {2, 3, 3.9}, {0, 1, 3.9}},
         {{bottom, 3.9}, {1, 3.9}, {2, 2.5}, {top, 3.9}}, ""},
        {"conflict keeps the first", {{0, 1, 3.9}, {0, 1, 4.2}, {1, 2, 2.5}},
         {{bottom, 3.9}, {1, 3.9}, {top, 2.5}}, "different diel for same place!\n"},
        {"empty deck", {}, {{bottom, 1}, {top, 1}},
         "Warning: no medium in the deck, assuming vacuum (relative permittivity 1) everywhere\n"},
    };
    for (const Row& row : rows) {
        deck.clear();
        for (const MediumRow& m : row.media)
            AddMedium(m.z0, m.z1, m.diel);
        EXPECT_EQ(CaptureOut([&] { Build(); }), row.out) << row.label;
        ExpectStack(row.expected, row.label);
    }

    // The vacuum stack is usable, and a new stack resets the walker.
    std::unique_ptr<Layers> stack;
    CaptureOut([&] { stack.reset(new Layers(deck)); });
    EXPECT_EQ(stack->cur_layer, -1);
    EXPECT_EQ(stack->lower_psum, nullptr);
    EXPECT_EQ(stack->upper_wpdf_sign, nullptr);
    EXPECT_EQ(stack->half_wpdf, nullptr);
    EXPECT_NE(stack->FindLayer(0), nullptr);
    double d = 0;
    EXPECT_TRUE(stack->GetDiel(d));
    EXPECT_EQ(d, 1.0);
}

TEST_F(StackTest, FindLayerAndMoves)
{
    Layers stack = BuildOxideOnLowK();
    RegisterPair(3.9, 2.5);
    EXPECT_FALSE(stack.MoveUp());  // cursor not set
    EXPECT_FALSE(stack.MoveDown());
    EXPECT_EQ(stack.cur_layer, -1);

    // Faces belong to the layer above.
    EXPECT_EQ(stack.FindLayer(1.0), &Layers::layers[2]);
    EXPECT_EQ(stack.FindLayer(0.999), &Layers::layers[1]);
    EXPECT_EQ(stack.cur_layer, 1);
    EXPECT_EQ(stack.FindLayer(1e100), nullptr);
    EXPECT_EQ(stack.cur_layer, -2);
    EXPECT_EQ(stack.FindLayerFromGauss(-2e100), &Layers::layers[0]);
    EXPECT_EQ(stack.cur_layer, 0);

    // {move up?, result, cursor after, message}
    struct Move {
        bool up, ok;
        int cur;
        const char* out;
    } moves[] = {{true, true, 1, ""},  {true, true, 2, ""},   {true, false, -2, ""},
                 {true, false, -2, "moving over highest layer!\n"},
                 {false, true, 2, ""}, {false, true, 1, ""},  {false, false, 0, ""},
                 {false, false, 0, "moving below lowest layer!\n"},
                 {true, true, 1, ""}};
    for (size_t i = 0; i < sizeof moves / sizeof moves[0]; ++i) {
        const Move& m = moves[i];
        bool ok = false;
        EXPECT_EQ(CaptureOut([&] { ok = m.up ? stack.MoveUp() : stack.MoveDown(); }), m.out) << "move " << i;
        EXPECT_EQ(ok, m.ok) << "move " << i;
        EXPECT_EQ(stack.cur_layer, m.cur) << "move " << i;
    }
    stack.cur_layer = -5;
    EXPECT_DEATH(stack.MoveUp(), FatalText("cur_layer >= 0"));
}

// Every neighbour query at the cursor, in one line; "-" where a query said false.
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

TEST_F(StackTest, NeighbourQueriesInEveryPosition)
{
    AddMedium(0, 1, 3.9);
    AddMedium(1, 2, 2.5);
    AddMedium(2, 3, 4.2);
    Layers stack = Build();  // faces -1e100, 1, 2, +1e100
    RegisterPair(3.9, 2.5);
    RegisterPair(2.5, 4.2);
    EXPECT_EQ(Probe(stack), "0 [7,8] lower -3 - - higher -3 - - diel - low/high 00");
    const std::pair<double, const char*> rows[] = {
        {-2e100, "0 [-1e+100,-1e+100] lower -4 - 3.9 higher 1 1 3.9 diel 3.9 low/high 10"},
        {0.5, "1 [-1e+100,1] lower -4 - 3.9 higher 2 2 2.5 diel 3.9 low/high 00"},
        {1.5, "1 [1,2] lower 0 -1e+100 3.9 higher 3 1e+100 4.2 diel 2.5 low/high 00"},
        {2.5, "1 [2,1e+100] lower 1 1 2.5 higher -4 - 4.2 diel 4.2 low/high 00"},
        {2e100, "0 [1e+100,1e+100] lower 2 2 4.2 higher -4 - 4.2 diel 4.2 low/high 01"},
    };
    for (const auto& row : rows) {
        stack.FindLayer(row.first);
        EXPECT_EQ(Probe(stack), row.second) << "z = " << row.first;
    }
}

TEST_F(StackTest, DumpAndConstructionWriteOnlyOnTheInfoChannel)
{
    EXPECT_EQ(CaptureOut([&] { BuildOxideOnLowK().Dump(); }), "");
}

}  // namespace
