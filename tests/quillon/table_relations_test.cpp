// Every table the generator writes passes the loader's checks of the
// relations between its values and with the table it is paired with, for
// any contrast: a false alarm would refuse a sound installation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tablecheck.h"
#include "tablefiles.h"

namespace {

const double* Body(const std::vector<double>& file) { return file.data() + 3; }

TEST(TableRelations, HoldForEveryGeneratedTable)
{
    TableLedger ledger;
    CubeTable single = SolveHomogeneous();
    using TableCheck::Single;
    const std::vector<double> prob = SingleProbBody(single), raw = SingleWeightBody(single),
                              sums = SingleWeightSums(single), pdf = SingleWeightPdf(single);
    EXPECT_EQ(TableCheck::SingleProblem(ledger, Single::PROB, "p", prob.data(), (int)prob.size(), 2), "");
    EXPECT_EQ(TableCheck::SingleProblem(ledger, Single::COMMON_WEIGHT, "w", raw.data(), (int)raw.size(), 0), "");
    EXPECT_EQ(TableCheck::SingleProblem(ledger, Single::IS_WEIGHT, "s", sums.data(), 3, 2), "");
    EXPECT_EQ(TableCheck::SingleProblem(ledger, Single::IS_DENSITY, "d", pdf.data(), (int)pdf.size(), 2), "");

    const struct {
        PairFile file;
        const PSumPacket* packet;
        int weight_select;
    } kinds[] = {
        {PairFile::TRANS, &Layers::trans, 2},   {PairFile::HTRANS, &Layers::htrans, 2},
        {PairFile::WEI, &Layers::wei, 2},       {PairFile::PDF_SIGNED, &Layers::pdf, 2},
        {PairFile::HWEI, &Layers::hwei, 2},     {PairFile::HPDF, &Layers::hpdf, 2},
        {PairFile::WEIGHT_VALUES, &Layers::pdf, 0},
    };
    // High contrast both ways, and the stacks of the examples.
    const DielPair pairs[] = {{1, 10}, {10, 1}, {3.9, 7}, {7, 3.9}, {3.9, 2.5}, {1, 100}, {100, 1}};
    for (const DielPair& pair : pairs) {
        PairTables tables = SolvePair(pair);
        ledger.ForgetFiles();
        for (const auto& k : kinds) {
            std::vector<double> file = PairFileContents(tables, k.file);
            const std::string what = PairTag(pair) + " " + TableCheck::PacketName(*k.packet);
            EXPECT_EQ(TableCheck::MultiProblem(ledger, *k.packet, k.weight_select, Body(file)), "") << what;
            EXPECT_EQ(TableCheck::RelationProblem(ledger, *k.packet, k.weight_select, file.data(), Body(file), what), "")
                << what;
        }
    }
}

// Damage that leaves every value plausible, to each kind of table, with the
// table it is paired with loaded first: the loader's checks refuse each.
TEST(TableRelations, RefuseDamageThatKeepsValuesPlausible)
{
    TableLedger ledger;
    enum Damage { DOUBLE_ALL, LAST_X1000, NUDGE_ONE, SWAP };
    const struct {
        PairFile file, partner;
        const PSumPacket *packet, *partner_packet;
        int weight_select;
    } kinds[] = {
        {PairFile::HWEI, PairFile::HPDF, &Layers::hwei, &Layers::hpdf, 2},  // the reproducers
        {PairFile::HPDF, PairFile::HWEI, &Layers::hpdf, &Layers::hwei, 2},
        {PairFile::WEI, PairFile::PDF_SIGNED, &Layers::wei, &Layers::pdf, 2},
        {PairFile::PDF_SIGNED, PairFile::WEI, &Layers::pdf, &Layers::wei, 2},
        {PairFile::TRANS, PairFile::TRANS, &Layers::trans, nullptr, 2},
        {PairFile::HTRANS, PairFile::HTRANS, &Layers::htrans, nullptr, 2},
        {PairFile::WEIGHT_VALUES, PairFile::WEIGHT_VALUES, &Layers::pdf, nullptr, 0},
    };
    PairTables tables = SolvePair(DielPair{3.9, 2.5});
    for (const auto& k : kinds)
        for (Damage damage : {DOUBLE_ALL, LAST_X1000, NUDGE_ONE, SWAP}) {
            std::vector<double> file = PairFileContents(tables, k.file);
            const size_t mid = 3 + (file.size() - 3) / 2 + 1;
            switch (damage) {
            case DOUBLE_ALL:
                for (size_t i = 3; i < file.size(); ++i) file[i] *= 2;
                break;
            case LAST_X1000: file.back() *= 1000; break;
            case NUDGE_ONE: file[mid] *= 1.001; break;
            case SWAP: std::swap(file[mid], file[mid + 1 < file.size() ? mid + 1 : mid - 1]); break;
            }
            ledger.ForgetFiles();
            if (k.partner_packet) {
                std::vector<double> other = PairFileContents(tables, k.partner);
                ASSERT_EQ(TableCheck::RelationProblem(ledger, *k.partner_packet, k.weight_select, other.data(),
                                                      Body(other), "partner"), "");
            }
            std::string problem = TableCheck::MultiProblem(ledger, *k.packet, k.weight_select, Body(file));
            if (problem.empty())
                problem = TableCheck::RelationProblem(ledger, *k.packet, k.weight_select, file.data(), Body(file), "f");
            EXPECT_NE(problem, "") << TableCheck::PacketName(*k.packet) << " damage " << damage;
        }
}

// The single-medium files, the importance-sampling weight sums paired with
// their densities.
TEST(TableRelations, RefuseDamagedSingleMediumTables)
{
    TableLedger ledger;
    using TableCheck::Single;
    CubeTable cube = SolveHomogeneous();
    const struct {
        Single kind;
        std::vector<double> body;
        int weight_select;
    } kinds[] = {
        {Single::PROB, SingleProbBody(cube), 2},
        {Single::COMMON_WEIGHT, SingleWeightBody(cube), 0},
        {Single::IS_DENSITY, SingleWeightPdf(cube), 2},
    };
    const std::vector<double> sums = SingleWeightSums(cube);
    for (const auto& k : kinds)
        for (int damage = 0; damage < 3; ++damage) {
            std::vector<double> v = k.body;
            const size_t mid = v.size() / 2 + 1;
            if (damage == 0) v.back() *= 1000;
            if (damage == 1) v[mid] *= 1.001;
            if (damage == 2) std::swap(v[mid], v[mid + 1]);
            ASSERT_EQ(TableCheck::SingleProblem(ledger, Single::IS_WEIGHT, "s", sums.data(), 3, 2), "");
            EXPECT_NE(TableCheck::SingleProblem(ledger, k.kind, "f", v.data(), (int)v.size(), k.weight_select), "")
                << (int)k.kind << " damage " << damage;
        }
    // Weight sums doubled: caught with the densities.
    std::vector<double> doubled = sums, pdf = SingleWeightPdf(cube);
    for (double& s : doubled) s *= 2;
    ASSERT_EQ(TableCheck::SingleProblem(ledger, Single::IS_WEIGHT, "s", doubled.data(), 3, 2), "");
    EXPECT_NE(TableCheck::SingleProblem(ledger, Single::IS_DENSITY, "d", pdf.data(), (int)pdf.size(), 2), "");
}

}  // namespace
