static const char KORVA_SOURCE[] = "src/layers";

#include "layers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "digest.h"
#include "log.h"
#include "tablecheck.h"

using std::abs;

// Table files are raw little-endian doubles, read straight into memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "table files hold little-endian doubles");


const PSumPacket Layers::trans = {0, false, 30, 6, 961, 1, 172980};
const PSumPacket Layers::htrans = {1, true, 1, 6, 1024, 1, 6144};
const PSumPacket Layers::wei = {2, false, 30, 3, 1, 1, 90};
const PSumPacket Layers::hwei = {3, true, 1, 3, 1, 1, 3};
const PSumPacket Layers::pdf = {4, false, 30, 3, 6, 961, 518940};
const PSumPacket Layers::hpdf = {5, true, 1, 3, 6, 1024, 18432};

TableSet::~TableSet()
{
    UnLoadData();
}



// ---------------------------------------------------------------------------
// Stack construction

Layers::Layers(TableSet& tables, const std::vector<Medium*>& mediums)
    : cur_layer(-1),
      lower_psum_face(nullptr), upper_psum_face(nullptr),
      lower_psum(nullptr), upper_psum(nullptr),
      half_psum_face(nullptr), half_psum(nullptr),
      lower_weight_cross(nullptr), upper_weight_cross(nullptr), half_weight_cross(nullptr),
      lower_wpdf_face(nullptr), upper_wpdf_face(nullptr),
      lower_wpdf(nullptr), upper_wpdf(nullptr),
      half_wpdf_face(nullptr), half_wpdf(nullptr),
      lower_wpdf_sign(nullptr), upper_wpdf_sign(nullptr), set(&tables), layers(tables.layers)
{
    ++set->generation;
    layers.clear();
    if (mediums.empty()) {
        // Without a medium every walk would stop on an empty stack; vacuum is
        // what an unfilled window physically is.
        Log::pwarning("Warning: no medium in the deck, assuming vacuum (relative permittivity 1) everywhere\n");
        layers.push_back({-FAR_POS, 1.0});
        layers.push_back({FAR_POS, 1.0});
    }
    for (Medium* medium : mediums)
        MergeInto(medium);
    // A face that is only the bottom of one medium but lies inside another
    // (overlapping media of one permittivity) is inside that other medium.
    for (size_t i = 1; i < layers.size(); ++i)
        for (size_t k = 0; k < mediums.size() && abs(layers[i].diel - (-1)) < MIE; ++k) {
            const Cuboid& b = *mediums[k]->block;
            if (b.z0 < layers[i - 1].pos + MIE && b.z1 > layers[i].pos - MIE)
                layers[i].diel = mediums[k]->diel;
        }

    if (!layers.empty()) {
        layers.front().pos = -FAR_POS;
        layers.back().pos = FAR_POS;
    }
    if (layers.size() >= 2)
        layers[0].diel = layers[1].diel;

    Log::pinfo("\t\t=======================\n");
    Log::pinfo("\t\tSHOW Layers Information\n");
    Log::pinfo("\t\t=======================\n");
    for (size_t i = 0; i < layers.size(); ++i)
        Log::pinfo("The layer %d's higher z-position: %lg; Diel: %lg\n", (int)i, layers[i].pos, layers[i].diel);

    if (layers.size() >= 2) {
        Log::pinfo("After merge layers with same dielectric constant.");
        size_t i = 1;
        while (i + 1 < layers.size()) {
            if (layers[i].diel == layers[i + 1].diel) {
                layers.erase(layers.begin() + i);
                Log::pinfo("delete a layers");
            } else {
                ++i;
            }
        }
    }
}

void Layers::MergeFace(double z, double diel, bool with_diel)
{
    ++set->generation;
    for (size_t i = 0; i < layers.size(); ++i) {
        Layer& face = layers[i];
        if (abs(face.pos - z) < MIE) {
            if (!with_diel)
                return;
            if (abs(face.diel - (-1)) < MIE)
                face.diel = diel;
            else if (abs(face.diel - diel) > MIE)
                Log::perror("different diel for same place!\n");
            return;
        }
        if (face.pos > z) {
            layers.insert(layers.begin() + i, Layer{z, with_diel ? diel : -1.0});
            return;
        }
    }
    layers.push_back(Layer{z, with_diel ? diel : -1.0});
}

void Layers::MergeInto(Medium* medium)
{
    MergeFace(medium->block->z0, 0.0, false);
    MergeFace(medium->block->z1, medium->diel, true);
}

// ---------------------------------------------------------------------------
// Cursor

static int FindIndex(const std::vector<Layer>& layers, double z)
{
    for (size_t i = 0; i < layers.size(); ++i)
        if (layers[i].pos > z)
            return (int)i;
    return -2;
}

Layer* Layers::FindLayer(double z)
{
    cur_layer = FindIndex(layers, z);
    UpdatePSum();
    return cur_layer >= 0 ? &layers[cur_layer] : nullptr;
}

Layer* Layers::FindLayerFromGauss(double z)
{
    // One medium (two far faces): the cursor can only be where it is, and
    // there are no interface tables to point at.
    if (layers.size() == 2 && cur_layer == 1)
        return &layers[1];
    cur_layer = FindIndex(layers, z);
    // Selecting them again would point at the same tables.
    if (!weights_selected.Holds(*set, cur_layer))
        UpdatePWSum();
    // The transition tables too: otherwise a walk's first clipped cubes use
    // the pair of the layer where this worker's previous walk ended.
    if (!trans_selected.Holds(*set, cur_layer))
        UpdatePSum();
    return cur_layer >= 0 ? &layers[cur_layer] : nullptr;
}

bool Layers::MoveUp()
{
    if (cur_layer == -1)
        return false;
    if (cur_layer == -2) {
        Log::perror("moving over highest layer!\n");
        return false;
    }
    FATAL_CHECK(cur_layer >= 0);
    cur_layer = cur_layer + 1 < (int)layers.size() ? cur_layer + 1 : -2;
    UpdatePSum();
    return cur_layer >= 0;
}

bool Layers::MoveDown()
{
    if (cur_layer == -1)
        return false;
    if (cur_layer == -2) {
        if (layers.empty())
            return false;
        cur_layer = (int)layers.size() - 1;
        UpdatePSum();
        return cur_layer > 0;
    }
    FATAL_CHECK(cur_layer >= 0);
    if (cur_layer == 0) {
        Log::perror("moving below lowest layer!\n");
        return false;
    }
    cur_layer -= 1;
    UpdatePSum();
    return cur_layer != 0;
}

// ---------------------------------------------------------------------------
// Queries. Any negative cursor other than -2 counts as "not set".




// The permittivity `step` layers away from the cursor's, held at the ends
// of the stack; a cursor above the stack (-2) sees the top layer's.
bool Layers::DielNear(int step, double& d) const
{
    if (layers.empty())
        return false;
    if (cur_layer == -2) {
        d = layers.back().diel;
        return true;
    }
    if (cur_layer < 0)
        return false;
    d = layers[std::min(std::max(cur_layer + step, 0), (int)layers.size() - 1)].diel;
    return true;
}

bool Layers::GetLowerDiel(double& d) const
{
    return DielNear(-1, d);
}

bool Layers::GetHigherDiel(double& d) const
{
    return DielNear(1, d);
}

bool Layers::GetDiel(double& d) const
{
    return DielNear(0, d);
}

bool Layers::TooLow() const
{
    return cur_layer == 0;
}

bool Layers::TooHigh() const
{
    return cur_layer == -2;
}

void Layers::Dump() const
{
    Log::pinfo("Layers dump\n");
    for (size_t i = 0; i < layers.size(); ++i) {
        Log::pinfo("Face %d: pos %.3f\n", (int)i, layers[i].pos);
        if (i + 1 < layers.size())
            Log::pinfo("Diel: %.2f\n", layers[i + 1].diel);
    }
    Log::pinfo("Layers dump END\n");
}

// ---------------------------------------------------------------------------
// Table registry

DielKey Layers::DielHash(double dlow, double dhigh)
{
    if (abs(dlow - dhigh) < MIE)
        return DielKey{0, 0};
    return DielKey{dlow, dhigh};
}


PSumPacket TableSet::ForgetShape(const void* owner)
{
    auto it = entry_shapes.find(owner);
    FATAL_CHECK(it != entry_shapes.end());
    PSumPacket shape = it->second;
    entry_shapes.erase(it);
    return shape;
}

void TableSet::UnLoadTrans(PSumEntry& entry)
{
    PSumPacket shape = ForgetShape(entry.first);
    cut_guides.erase(entry.second);
    for (int a = 0; a < shape.dim0; ++a) {
        delete[] entry.first[a];
        delete[] entry.second[a];
    }
    delete[] entry.first;
    delete[] entry.second;
    entry = PSumEntry(nullptr, nullptr);
}

void TableSet::UnLoadWei(double****& weights)
{
    PSumPacket shape = ForgetShape(weights);
    for (int a = 0; a < shape.dim0; ++a) {
        for (int b = 0; b < shape.dim1; ++b) {
            for (int c = 0; c < shape.dim2; ++c)
                delete[] weights[a][b][c];
            delete[] weights[a][b];
        }
        delete[] weights[a];
    }
    delete[] weights;
    weights = nullptr;
}

void TableSet::UnLoadPdf(WeightPdfEntry& entry)
{
    PSumPacket shape = ForgetShape(entry.first);
    for (int a = 0; a < shape.dim0; ++a) {
        for (int b = 0; b < shape.dim1; ++b) {
            delete[] entry.first[a][b];
            delete[] entry.second[a][b];
        }
        delete[] entry.first[a];
        delete[] entry.second[a];
    }
    delete[] entry.first;
    delete[] entry.second;
    entry = WeightPdfEntry(nullptr, nullptr);
}

void TableSet::UnLoadSigns(WeightSignEntry& signs)
{
    PSumPacket shape = ForgetShape(signs);
    for (int a = 0; a < shape.dim0; ++a) {
        for (int b = 0; b < shape.dim1; ++b)
            delete[] signs[a][b];
        delete[] signs[a];
    }
    delete[] signs;
    signs = nullptr;
}

// Files an entry under key; an entry it replaces is released.
template <typename Entry, typename Release>
static void Replace(std::map<DielKey, Entry>& registry, const DielKey& key, const Entry& entry, Release release)
{
    auto it = registry.find(key);
    if (it == registry.end()) {
        registry.emplace(key, entry);
        return;
    }
    release(it->second);
    it->second = entry;
}

static void ReportMissing(double dlow, double dhigh, bool hint)
{
    Log::perror("Cannot find partial sum for %.2f / %.2f\n", dlow, dhigh);
    if (hint)
        Log::perror("Please check your .gft_dir file, make sure the existence of data. ");
}

// Cumulative sums per cut position, running across its faces; `suspect`
// tells whether the values might break the sign and sum rules (see
// TableCheck::SumClearlyOne).
PSumEntry TableSet::BuildTrans(const double* data, const PSumPacket& packet, bool& suspect)
{
    PSumEntry entry(new double*[packet.dim0], new std::vector<double>*[packet.dim0]);
    unsigned long long signs = 0;
    bool off = false;
    for (int a = 0; a < packet.dim0; ++a) {
        entry.first[a] = new double[packet.dim1];
        entry.second[a] = new std::vector<double>[packet.dim1];
        double acc = 0;  // one running total per cut position, across its faces
        for (int f = 0; f < packet.dim1; ++f) {
            std::vector<double>& cum = entry.second[a][f];
            cum.resize(packet.dim2);
            const double* in = data + (a * packet.dim1 + f) * packet.dim2;
            for (int k = 0; k < packet.dim2; ++k) {
                acc += in[k];
                signs |= TableCheck::SignBits(in[k]);
                cum[k] = acc;
            }
            entry.first[a][f] = acc;
        }
        off |= !TableCheck::SumClearlyOne(acc);  // the cube's total
    }
    entry_shapes[entry.first] = packet;
    suspect = off || signs >> 63;
    return entry;
}

void TableSet::FileTrans(const DielKey& key, const PSumEntry& entry, const PSumPacket& packet)
{
    ++generation;
    // The full cubes' cuts and the half cubes on an interface are searched
    // hop by hop; a guide that cannot give the plain search's answer (a
    // falling table) stays unused.
    if (packet.dim1 == 6 && (packet.half || packet.dim2 == Layers::trans.dim2)) {
        std::vector<CutGuide>& guides = cut_guides[entry.second];
        guides.resize(packet.dim0);
        for (int a = 0; a < packet.dim0; ++a)
            guides[a].Build(entry.first[a], entry.second[a], packet.dim2, !packet.half);
    }
    Replace(packet.half ? half_psums : psums, key, entry, [this](auto& e) { UnLoadTrans(e); });
    Log::pinfo(packet.half ? "[half_psums registered]\n" : "[psums registered]\n");
}

void TableSet::RegisterTrans(const DielKey& key, double* data, const PSumPacket& packet)
{
    bool suspect;
    FileTrans(key, BuildTrans(data, packet, suspect), packet);
}

void TableSet::RegisterWei(const DielKey& key, double* data, const PSumPacket& packet)
{
    ++generation;
    std::map<DielKey, double****>& registry = packet.half ? half_weight_array : weight_array;
    if (registry.count(key))
        return;  // the first file of a pair wins
    double**** weights = new double***[packet.dim0];
    for (int a = 0; a < packet.dim0; ++a) {
        weights[a] = new double**[packet.dim1];
        for (int b = 0; b < packet.dim1; ++b) {
            weights[a][b] = new double*[packet.dim2];
            for (int c = 0; c < packet.dim2; ++c) {
                weights[a][b][c] = new double[packet.dim3];
                for (int d = 0; d < packet.dim3; ++d)
                    weights[a][b][c][d] = data[packet.index(a, b, c, d)];
            }
        }
    }
    entry_shapes[weights] = packet;
    registry.emplace(key, weights);
}

WeightPdfEntry TableSet::NewPdf(const PSumPacket& packet)
{
    WeightPdfEntry entry(new double**[packet.dim0], new std::vector<double>**[packet.dim0]);
    for (int a = 0; a < packet.dim0; ++a) {
        entry.first[a] = new double*[packet.dim1];
        entry.second[a] = new std::vector<double>*[packet.dim1];
        for (int b = 0; b < packet.dim1; ++b) {
            entry.first[a][b] = new double[packet.dim2];
            entry.second[a][b] = new std::vector<double>[packet.dim2];
            for (int c = 0; c < packet.dim2; ++c)
                entry.second[a][b][c].reserve(packet.dim3);
        }
    }
    entry_shapes[entry.first] = packet;
    return entry;
}

WeightSignEntry TableSet::NewSigns(const PSumPacket& packet)
{
    WeightSignEntry signs = new std::vector<signed char>**[packet.dim0];
    for (int a = 0; a < packet.dim0; ++a) {
        signs[a] = new std::vector<signed char>*[packet.dim1];
        for (int b = 0; b < packet.dim1; ++b) {
            signs[a][b] = new std::vector<signed char>[packet.dim2];
            for (int c = 0; c < packet.dim2; ++c)
                signs[a][b][c].reserve(packet.dim3);
        }
    }
    entry_shapes[signs] = packet;
    return signs;
}

// Importance densities (selectors 2 and 4): cumulative |value| per (a, b),
// running across faces. The sign of each panel's weight is kept apart when
// the file carries any, since the sampler draws by magnitude. Returns whether
// the values might break the sum rule, or (half-cube tables, which hold
// magnitudes) the sign rule.
bool TableSet::FillDensity(const double* data, const PSumPacket& packet, WeightPdfEntry& entry,
                        WeightSignEntry signs)
{
    unsigned long long sign_bits = 0;
    bool off = false;
    for (int a = 0; a < packet.dim0; ++a) {
        for (int b = 0; b < packet.dim1; ++b) {
            double run = 0;
            for (int c = 0; c < packet.dim2; ++c) {
                std::vector<double>& values = entry.second[a][b][c];
                values.resize(packet.dim3);
                const double* in = data + packet.index(a, b, c, 0);
                for (int d = 0; d < packet.dim3; ++d) {
                    double v = in[d];
                    sign_bits |= TableCheck::SignBits(v);
                    run += abs(v);
                    values[d] = run;
                    if (signs)
                        signs[a][b][c].push_back(v < 0 ? -1 : 1);
                }
                entry.first[a][b][c] = run;
            }
            off |= !TableCheck::SumClearlyOne(run);  // one cube and direction
        }
    }
    return off || (packet.half && sign_bits >> 63);
}

// Common weight values (selectors 0, 1, 3), checked against the transition
// probability of the same panel.
void TableSet::FillWeightValues(const double* data, const PSumPacket& packet, const PSumEntry& trans,
                             WeightPdfEntry& entry)
{
    for (int a = 0; a < packet.dim0; ++a) {
        for (int b = 0; b < packet.dim1; ++b) {
            for (int c = 0; c < packet.dim2; ++c) {
                std::vector<double>& values = entry.second[a][b][c];
                const std::vector<double>& cum = trans.second[a][c];
                for (int d = 0; d < packet.dim3; ++d) {
                    double before = d > 0 ? cum[d - 1] : (c > 0 ? trans.first[a][c - 1] : 0.0);
                    double ps = cum[d] - before;
                    FATAL_CHECK_TEXT(ps > 0, "ps>0");
                    FATAL_CHECK_TEXT(abs(data[packet.index(a, b, c, d)] / ps) < 100,
                                     "abs( data[packet.index(a, b, c, d)] / ps )<100");
                    double v = data[packet.index(a, b, c, d)];
                    values.push_back(weight_select == 0 ? v / ps : v);
                }
                entry.first[a][b][c] = 0;
            }
        }
    }
}

// A weight table built but not yet filed under its pair.
struct BuiltPdf {
    WeightPdfEntry entry;
    WeightSignEntry signs;
};

BuiltPdf TableSet::BuildPdf(const DielKey& key, const double* data, const PSumPacket& packet, bool& suspect)
{
    if (weight_select > 4 || weight_select < 0) {
        Log::pinfo("weight select == 1 loading multi diel PDF");
        FATAL_CHECK(false);
    }
    bool density = weight_select == 2 || weight_select == 4;
    const PSumEntry* trans_entry = nullptr;
    if (!density) {
        std::map<DielKey, PSumEntry>& tr = packet.half ? half_psums : psums;
        auto it = tr.find(key);
        if (it == tr.end()) {
            // Without the pair's transition table the values cannot be
            // checked; report it as the failed lookup it is.
            ReportMissing(key.low, key.high, true);
            FATAL_CHECK(false);
        }
        const PSumPacket& ts = entry_shapes[it->second.first];
        FATAL_CHECK(ts.dim0 >= packet.dim0 && ts.dim1 >= packet.dim2 && ts.dim2 >= packet.dim3);
        trans_entry = &it->second;
    }

    bool has_negative = false;
    if (density && !packet.half)
        for (int i = 0; i < packet.size && !has_negative; ++i)
            has_negative = data[i] < 0;

    BuiltPdf built{NewPdf(packet), has_negative ? NewSigns(packet) : nullptr};
    suspect = true;  // the weight values are not screened
    if (density)
        suspect = FillDensity(data, packet, built.entry, built.signs);
    else
        FillWeightValues(data, packet, *trans_entry, built.entry);
    return built;
}

void TableSet::ReleasePdf(BuiltPdf& built)
{
    UnLoadPdf(built.entry);
    if (built.signs)
        UnLoadSigns(built.signs);
}

void TableSet::FilePdf(const DielKey& key, const BuiltPdf& built, const PSumPacket& packet)
{
    ++generation;
    Replace(packet.half ? cdf_half_weights : cdf_weights, key, built.entry, [this](auto& e) { UnLoadPdf(e); });
    if (!packet.half) {
        auto old = cdf_weight_signs.find(key);
        if (old != cdf_weight_signs.end()) {
            UnLoadSigns(old->second);
            cdf_weight_signs.erase(old);
        }
        if (built.signs)
            cdf_weight_signs.emplace(key, built.signs);
    }
    Log::pinfo(packet.half ? "Half Weight PDF registered\n" : "Weight PDF registered\n");
}

void TableSet::RegisterPdf(const DielKey& key, double* data, const PSumPacket& packet)
{
    bool suspect;
    FilePdf(key, BuildPdf(key, data, packet, suspect), packet);
}

// ---------------------------------------------------------------------------
// Lookups

void TableSet::QueryPSum(double dlow, double dhigh, double**& face, std::vector<double>**& psum)
{
    auto it = psums.find(Layers::DielHash(dlow, dhigh));
    if (it == psums.end()) {
        ReportMissing(dlow, dhigh, true);
        FATAL_CHECK(false);
    }
    face = it->second.first;
    psum = it->second.second;
}

const CutGuide* TableSet::CutGuides(std::vector<double>* const* psum) const
{
    auto it = cut_guides.find(psum);
    return it == cut_guides.end() ? nullptr : it->second.data();
}

void TableSet::QueryWSum(double dlow, double dhigh, double****& weights)
{
    auto it = weight_array.find(Layers::DielHash(dlow, dhigh));
    if (it == weight_array.end()) {
        ReportMissing(dlow, dhigh, false);
        FATAL_CHECK(false);
    }
    weights = it->second;
}

void TableSet::Query_PDF_W_Sum(double dlow, double dhigh, double***& face, std::vector<double>***& values)
{
    auto it = cdf_weights.find(Layers::DielHash(dlow, dhigh));
    if (it == cdf_weights.end()) {
        ReportMissing(dlow, dhigh, false);
        FATAL_CHECK(false);
    }
    face = it->second.first;
    values = it->second.second;
}

WeightSignEntry TableSet::QuerySigns(double dlow, double dhigh)
{
    auto it = cdf_weight_signs.find(Layers::DielHash(dlow, dhigh));
    return it == cdf_weight_signs.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------
// Refreshes of the walker's table pointers

void Layers::UpdatePSum()
{
    LayerTrans* memo = cur_layer >= 0 && cur_layer < (int)trans_memo.size() ? &trans_memo[cur_layer] : nullptr;
    if (memo && memo->generation == set->generation) {
        if (memo->lower) {
            lower_psum_face = memo->lower_face;
            lower_psum = memo->lower_psum;
            lower_psum_guide = memo->lower_guide;
        }
        if (memo->upper) {
            upper_psum_face = memo->upper_face;
            upper_psum = memo->upper_psum;
            upper_psum_guide = memo->upper_guide;
        }
        trans_selected.Set(*set, cur_layer);
        return;
    }
    double dcur = -1, dlow = -1, dhigh = -1;
    if (!GetDiel(dcur))
        dcur = -1;
    if (!GetLowerDiel(dlow))
        dlow = -1;
    if (!GetHigherDiel(dhigh))
        dhigh = -1;
    const bool lower = abs(dlow - dcur) > MIE, upper = abs(dhigh - dcur) > MIE;
    if (lower)
        SelectCutTrans(true, dlow, dcur);
    if (upper)
        SelectCutTrans(false, dcur, dhigh);
    FATAL_CHECK(( abs(dlow - (-1) ) > MIE ));
    FATAL_CHECK(( abs(dhigh - (-1) ) > MIE ));
    FATAL_CHECK(( abs(dcur - (-1) ) > MIE ));
    trans_selected.Set(*set, cur_layer);
    if (memo)
        *memo = LayerTrans{set->generation, lower, upper, lower_psum_face, upper_psum_face,
                           lower_psum,      upper_psum, lower_psum_guide, upper_psum_guide};
}

void Layers::UpdatePWSum()
{
    double dcur = -1, dlow = -1, dhigh = -1;
    if (!GetDiel(dcur))
        dcur = -1;
    if (!GetLowerDiel(dlow))
        dlow = -1;
    if (!GetHigherDiel(dhigh))
        dhigh = -1;
    FATAL_CHECK(( abs(dlow - (-1) ) > MIE ));
    FATAL_CHECK(( abs(dhigh - (-1) ) > MIE ));
    FATAL_CHECK(( abs(dcur - (-1) ) > MIE ));
    if (abs(dlow - dcur) > MIE) {
        SelectCutWeights(true, dlow, dcur);
        if (set->weight_select == 0)
            SelectCutTrans(true, dlow, dcur);
    }
    if (abs(dhigh - dcur) > MIE) {
        SelectCutWeights(false, dcur, dhigh);
        if (set->weight_select == 0)
            SelectCutTrans(false, dcur, dhigh);
    }
    weights_selected.Set(*set, cur_layer);
}

void Layers::SelectCutWeights(bool lower, double dlow, double dhigh)
{
    weights_selected.layer = INT_MIN;
    set->Query_PDF_W_Sum(dlow, dhigh, lower ? lower_wpdf_face : upper_wpdf_face, lower ? lower_wpdf : upper_wpdf);
    (lower ? lower_wpdf_sign : upper_wpdf_sign) = set->QuerySigns(dlow, dhigh);
    if (set->weight_select == 2 || set->weight_select == 4)
        set->QueryWSum(dlow, dhigh, lower ? lower_weight_cross : upper_weight_cross);
}

void Layers::SelectCutPair(bool lower, double dlow, double dhigh)
{
    SelectCutTrans(lower, dlow, dhigh);
    SelectCutWeights(lower, dlow, dhigh);
}

void Layers::SelectCutTrans(bool lower, double dlow, double dhigh)
{
    trans_selected.layer = INT_MIN;
    set->QueryPSum(dlow, dhigh, lower ? lower_psum_face : upper_psum_face, lower ? lower_psum : upper_psum);
    (lower ? lower_psum_guide : upper_psum_guide) = set->CutGuides(lower ? lower_psum : upper_psum);
}

void Layers::UpdateHalfPSum(double dlow, double dhigh)
{
    auto it = set->half_psums.find(DielHash(dlow, dhigh));
    if (it == set->half_psums.end()) {
        ReportMissing(dlow, dhigh, true);
        FATAL_CHECK(false);
    }
    half_psum_face = it->second.first;
    half_psum = it->second.second;
    const CutGuide* guide = set->CutGuides(half_psum);
    half_psum_guide = guide ? &guide->full : nullptr;
}

void Layers::UpdateHalfWSum(double dlow, double dhigh)
{
    auto it = set->half_weight_array.find(DielHash(dlow, dhigh));
    if (it == set->half_weight_array.end()) {
        ReportMissing(dlow, dhigh, false);
        FATAL_CHECK(false);
    }
    half_weight_cross = it->second;
}

void Layers::Update_PDF_Half_WSum(double dlow, double dhigh)
{
    auto it = set->cdf_half_weights.find(DielHash(dlow, dhigh));
    if (it == set->cdf_half_weights.end()) {
        ReportMissing(dlow, dhigh, false);
        FATAL_CHECK(false);
    }
    half_wpdf_face = it->second.first;
    half_wpdf = it->second.second;
}

// ---------------------------------------------------------------------------
// Release

void TableSet::UnLoadData()
{
    ++generation;
    for (auto& kv : psums)
        UnLoadTrans(kv.second);
    for (auto& kv : half_psums)
        UnLoadTrans(kv.second);
    for (auto& kv : weight_array)
        UnLoadWei(kv.second);
    for (auto& kv : half_weight_array)
        UnLoadWei(kv.second);
    for (auto& kv : cdf_weights)
        UnLoadPdf(kv.second);
    for (auto& kv : cdf_half_weights)
        UnLoadPdf(kv.second);
    for (auto& kv : cdf_weight_signs)
        UnLoadSigns(kv.second);
    // Emptied maps make a second call harmless.
    psums.clear();
    half_psums.clear();
    weight_array.clear();
    half_weight_array.clear();
    cdf_weights.clear();
    cdf_half_weights.clear();
    cdf_weight_signs.clear();
    check.ForgetFiles();
}

void TableSet::ResetAll()
{
    ++generation;
    layers.clear();
    UnLoadData();
    weight_select = 0;
}

// ---------------------------------------------------------------------------
// Table files

static bool StartsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

static bool NameFits(const std::string& base, int type)
{
    switch (type) {
    case 0: return StartsWith(base, "NumGFT") && !StartsWith(base, "NumGFT_IS");
    case 1: return StartsWith(base, "hNumGFT") && !StartsWith(base, "hNumGFT_IS");
    case 2: return StartsWith(base, "NumWVT");
    case 3: return StartsWith(base, "hNumWVT");
    case 4: return StartsWith(base, "NumGFT_IS") || StartsWith(base, "NumWVT");
    case 5: return StartsWith(base, "hNumGFT_IS") || StartsWith(base, "hNumWVT");
    }
    return false;
}

// The key is the stack's own pair, so that lookups with the stack's
// permittivities find the table whatever rounding the header carries.
bool TableSet::PairInStack(double dlow, double dhigh, DielKey& key)
{
    const std::vector<Layer>& stack = layers;
    for (size_t i = 0; i + 1 < stack.size(); ++i)
        if (abs(stack[i].diel - dlow) < MIE && abs(stack[i + 1].diel - dhigh) < MIE) {
            key = DielKey{stack[i].diel, stack[i + 1].diel};
            return true;
        }
    for (const DielKey& k : extra_pairs)
        if (abs(k.low - dlow) < MIE && abs(k.high - dhigh) < MIE) {
            key = k;
            return true;
        }
    return false;
}

static bool IsTableName(const std::string& path, int type)
{
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return path.size() >= 3 && path.compare(path.size() - 3, 3, ".db") == 0 && NameFits(base, type);
}

static void RejectTable(const char* path, const PSumPacket& packet, const std::string& problem)
{
    TableCheck::Reject(path, std::string(TableCheck::PacketName(packet)) + " table: " + problem);
}

void TableSet::CheckBody(const char* path, const PSumPacket& packet, const double* body)
{
    std::string problem = TableCheck::MultiProblem(check, packet, weight_select, body);
    if (!problem.empty())
        RejectTable(path, packet, problem);
}

void TableSet::CheckRelations(const char* path, const PSumPacket& packet, const double header[3],
                           const double* body)
{
    std::string problem = TableCheck::RelationProblem(check, packet, weight_select, header, body, path);
    if (!problem.empty())
        RejectTable(path, packet, problem);
}

// A screened body: checked in full only when the screen found it suspect.
// False when the file repeats one already registered.
bool TableSet::Judged(const char* path, const PSumPacket& packet, const double header[3],
                   const DielKey& key, const double* body, bool suspect)
{
    if (suspect)
        CheckBody(path, packet, body);
    CheckRelations(path, packet, header, body);
    return TableCheck::NoteFile(check, path, packet, key);
}

// Bytes read, short only at the end of the file or on an error.
static size_t ReadFully(int fd, void* buf, size_t bytes)
{
    size_t got = 0;
    while (got < bytes) {
        ssize_t n = read(fd, static_cast<char*>(buf) + got, bytes - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

void TableSet::SLoadDir(const char* dir, const PSumPacket& packet)
{
    DIR* d = opendir(dir);
    if (!d) {
        int err = errno;
        Log::perror("%s", dir);
        Log::perror("  opendir() fail %d", err);
        Log::output("\n");
        return;
    }
    // A refused file leaves by an exception; the folder is closed either way.
    std::unique_ptr<DIR, int (*)(DIR*)> open_dir(d, closedir);
    while (struct dirent* entry = readdir(d)) {
        std::string path = std::string(dir) + "/" + entry->d_name;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            regular = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        }
        if (regular) {
            SLoadFile(path.c_str(), packet);
        } else if (check.enabled && IsTableName(path, packet.type)) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                RejectTable(path.c_str(), packet, "not a regular file");
        }
    }
}

bool TableSet::SLoadFile(const char* path, const PSumPacket& packet)
{
    std::string full(path);
    if (full.size() < 3 || full.compare(full.size() - 3, 3, ".db") != 0)
        return false;
    size_t slash = full.rfind('/');
    std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
    if (packet.type > 5) {
        Log::perror("Register DATA wrong, because not suitable type for loading file to deal with multi-dielectrics cases");
        return false;
    }
    if (!NameFits(base, packet.type))
        return false;

    const bool checks = check.enabled;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        if (checks)
            RejectTable(path, packet, std::string("cannot be opened: ") + strerror(errno));
        return false;
    }
    double header[3];
    if (ReadFully(fd, header, sizeof header) != sizeof header) {
        close(fd);
        if (checks)
            RejectTable(path, packet, "shorter than its header of three values");
        return false;
    }
    if (checks) {
        std::string problem = TableCheck::HeaderProblem(packet, header);
        if (!problem.empty())
            RejectTable(path, packet, problem);
    }
    // Segment numbers truncate to 31 or 32; the range test also rejects
    // NaN and values an int cannot hold.
    double seg = header[0], dlow = header[1], dhigh = header[2];
    DielKey key{0, 0};
    if (!(seg >= 31.0 && seg < 33.0) || dlow == dhigh || !PairInStack(dlow, dhigh, key)) {
        close(fd);
        return false;
    }

    // Straight from the file into an uninitialised buffer, in one read.
    const size_t count = packet.size > 0 ? packet.size : 0;
    std::unique_ptr<double[]> body(new double[count]);
    size_t rs = ReadFully(fd, body.get(), count * sizeof(double)) / sizeof(double);
    close(fd);
    if (checks && (int)rs != packet.size) {
        char what[128];
        snprintf(what, sizeof what, "holds %zu of the %d values after its header", rs, packet.size);
        RejectTable(path, packet, what);
    }
    FATAL_CHECK_TEXT((int)rs == packet.size, "(int)rs == size");
    // Of the file as read, before the builders below take the body.
    const uint64_t digest = DigestWords(body.get(), count, DigestWords(header, 3));
    // Transition and density tables are screened by the loops that build
    // them, the rest is checked before it is used; either way a body is
    // judged before its file is noted as serving the pair.
    const bool screened = checks && TableCheck::Screened(packet, weight_select);
    if (checks && !screened) {
        CheckBody(path, packet, body.get());
        CheckRelations(path, packet, header, body.get());
        if (!TableCheck::NoteFile(check, path, packet, key))
            return false;  // a copy of a file already registered
    }
    // Whether a body the loops screened is kept. A refused body ends the
    // run by an exception: what was built for it is freed on either way
    // out, so that the caller may go on.
    bool suspect = false;
    auto kept = [&](auto release) {
        bool keep;
        try {
            keep = !screened || Judged(path, packet, header, key, body.get(), suspect);
        } catch (...) {
            release();
            throw;
        }
        if (!keep)
            release();
        return keep;
    };
    if (packet.type <= 1) {
        PSumEntry entry = BuildTrans(body.get(), packet, suspect);
        if (!kept([&] { UnLoadTrans(entry); }))
            return false;
        FileTrans(key, entry, packet);
    } else if (packet.type <= 3) {
        RegisterWei(key, body.get(), packet);
    } else {
        BuiltPdf built = BuildPdf(key, body.get(), packet, suspect);
        if (!kept([&] { ReleasePdf(built); }))
            return false;
        FilePdf(key, built, packet);
    }
    this->digest += digest;
    Log::pinfo("dlow %.2f dhigh %.2f is registered.\n", dlow, dhigh);
    return true;
}
