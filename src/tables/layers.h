// The planar dielectric stack, each walker's cursor into it, and the
// registry of multi-dielectric cube tables keyed by permittivity pair.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "cutguide.h"
#include "geometry.h"
#include "singletables.h"
#include "tableledger.h"

// Tolerance with which positions and permittivities are compared.
const double MIE = 1e-12;
// Position of the open ends of the stack, below the lowest and above the
// highest interface.
const double FAR_POS = 1e100;

class Layer {
public:
    double pos;   // z of the upper face of the layer
    double diel;  // permittivity below this face; -1 = not set
};

// Shape of one kind of table file.
class PSumPacket {
public:
    int type;
    bool half;
    int dim0, dim1, dim2, dim3;
    int size;

    int index(int a, int b, int c, int d) const { return ((a * dim1 + b) * dim2 + c) * dim3 + d; }
};

// A permittivity pair exactly as the stack holds it, dlow below the
// interface and dhigh above; distinct pairs never share a key.
struct DielKey {
    double low, high;
    bool operator<(const DielKey& o) const { return low < o.low || (low == o.low && high < o.high); }
    bool operator==(const DielKey& o) const { return low == o.low && high == o.high; }
};

typedef std::pair<double**, std::vector<double>**> PSumEntry;          // [a][f] face sums, [a][f] cumulative arrays
typedef std::pair<double***, std::vector<double>***> WeightPdfEntry;   // [a][b][c] face values, [a][b][c] arrays
typedef std::vector<signed char>*** WeightSignEntry;                   // [a][b][c] per-panel signs (+1/-1)

struct BuiltPdf;

// The tables of one run: the dielectric stack and the multi-dielectric cube
// tables registered for its permittivity pairs. A run owns one; every
// walker's cursor points to it.
class TableSet {
public:
    std::vector<Layer> layers;
    int weight_select = 0;
    std::map<DielKey, PSumEntry> psums;
    std::map<DielKey, PSumEntry> half_psums;
    std::map<DielKey, double****> weight_array;
    std::map<DielKey, double****> half_weight_array;
    std::map<DielKey, WeightPdfEntry> cdf_weights;
    std::map<DielKey, WeightPdfEntry> cdf_half_weights;
    std::map<DielKey, WeightSignEntry> cdf_weight_signs;  // only for `pdf` files with negative values
    // Pairs met across the faces of dielectric bodies, beside the stack's.
    std::vector<DielKey> extra_pairs;
    SingleTables single;
    TableLedger check;
    // Sum of the digests of the multi-dielectric files taken in, so that the
    // order in which a folder lists its files does not count.
    uint64_t digest = 0;
    // Counts the changes to the registries and the stack: a cursor's tables
    // selected under one count are still the registry's under the same.
    uint64_t generation = 0;

    TableSet() = default;
    // Every table taken in, single-medium and multi-dielectric.
    uint64_t Digest() const { return digest + single.digest; }
    TableSet(const TableSet&) = delete;
    TableSet& operator=(const TableSet&) = delete;
    ~TableSet();

    void SLoadDir(const char* dir, const PSumPacket& packet);
    bool SLoadFile(const char* path, const PSumPacket& packet);
    void RegisterTrans(const DielKey& key, double* data, const PSumPacket& packet);
    void RegisterWei(const DielKey& key, double* data, const PSumPacket& packet);
    void RegisterPdf(const DielKey& key, double* data, const PSumPacket& packet);
    void QueryPSum(double dlow, double dhigh, double**& face, std::vector<double>**& psum);
    // The guides of a transition table's cut positions, one per position,
    // or null when `psum` is not a registered transition table.
    const CutGuide* CutGuides(std::vector<double>* const* psum) const;
    void QueryWSum(double dlow, double dhigh, double****& weights);
    void Query_PDF_W_Sum(double dlow, double dhigh, double***& face, std::vector<double>***& values);
    WeightSignEntry QuerySigns(double dlow, double dhigh);  // null when none
    // Releases every registered table.
    void UnLoadData();
    // Forgets the stack and every registered table.
    void ResetAll();

private:
    // Every entry remembers the shape it was built with, so that releasing it
    // matches its allocation whichever packet the caller registered it with.
    std::map<const void*, PSumPacket> entry_shapes;
    // Bucket guides of the transition tables, keyed by their cumulative
    // arrays; built once as a table is filed, so that a hop through an
    // interface searches its cut as fast as a homogeneous hop searches.
    std::map<const void*, std::vector<CutGuide>> cut_guides;

    PSumPacket ForgetShape(const void* owner);
    void UnLoadTrans(PSumEntry& entry);
    void UnLoadWei(double****& weights);
    void UnLoadPdf(WeightPdfEntry& entry);
    void UnLoadSigns(WeightSignEntry& signs);
    PSumEntry BuildTrans(const double* data, const PSumPacket& packet, bool& suspect);
    void FileTrans(const DielKey& key, const PSumEntry& entry, const PSumPacket& packet);
    WeightPdfEntry NewPdf(const PSumPacket& packet);
    WeightSignEntry NewSigns(const PSumPacket& packet);
    bool FillDensity(const double* data, const PSumPacket& packet, WeightPdfEntry& entry, WeightSignEntry signs);
    void FillWeightValues(const double* data, const PSumPacket& packet, const PSumEntry& trans, WeightPdfEntry& entry);
    BuiltPdf BuildPdf(const DielKey& key, const double* data, const PSumPacket& packet, bool& suspect);
    void ReleasePdf(BuiltPdf& built);
    void FilePdf(const DielKey& key, const BuiltPdf& built, const PSumPacket& packet);
    bool PairInStack(double dlow, double dhigh, DielKey& key);
    void CheckBody(const char* path, const PSumPacket& packet, const double* body);
    void CheckRelations(const char* path, const PSumPacket& packet, const double header[3], const double* body);
    bool Judged(const char* path, const PSumPacket& packet, const double header[3], const DielKey& key, const double* body, bool suspect);
};

class Layers {
public:
    int cur_layer;
    double** lower_psum_face;
    double** upper_psum_face;
    std::vector<double>** lower_psum;
    std::vector<double>** upper_psum;
    // The guides of lower_psum's / upper_psum's cut positions, or null.
    const CutGuide* lower_psum_guide = nullptr;
    const CutGuide* upper_psum_guide = nullptr;
    double** half_psum_face;
    std::vector<double>** half_psum;
    const SurfaceGuide* half_psum_guide = nullptr;  // of half_psum, or null
    double**** lower_weight_cross;
    double**** upper_weight_cross;
    double**** half_weight_cross;
    double*** lower_wpdf_face;
    double*** upper_wpdf_face;
    std::vector<double>*** lower_wpdf;
    std::vector<double>*** upper_wpdf;
    double*** half_wpdf_face;
    std::vector<double>*** half_wpdf;
    // Per-panel signs of the signed importance densities of the interface
    // below / above; null when the registered density carried no signs.
    WeightSignEntry lower_wpdf_sign;
    WeightSignEntry upper_wpdf_sign;

    // --- the run's tables and its stack ---
    TableSet* set;
    std::vector<Layer>& layers;

    // The layer whose interface tables UpdatePSum (the transition tables)
    // and UpdatePWSum (the weight tables) selected last, under which count
    // of the registries' changes and which weight selector; a layer of
    // INT_MIN when another selection came after. A walk's start in that
    // layer finds them selected already: most starts of a master lie in one
    // layer, and each selection is several searches of the registries.
    struct Selected {
        int layer = INT_MIN;
        uint64_t generation = 0;
        int weight_select = 0;
        bool Holds(const TableSet& t, int cur) const
        {
            return layer == cur && generation == t.generation && weight_select == t.weight_select;
        }
        void Set(const TableSet& t, int cur)
        {
            layer = cur;
            generation = t.generation;
            weight_select = t.weight_select;
        }
    };
    Selected trans_selected, weights_selected;
    // What UpdatePSum selected in each of the lowest layers, under which
    // count of the registries' changes (none yet: UINT64_MAX): a walk that
    // crosses an interface and back would search the registries' maps
    // again at every crossing.
    struct LayerTrans {
        uint64_t generation = UINT64_MAX;
        bool lower = false, upper = false;
        double** lower_face = nullptr;
        double** upper_face = nullptr;
        std::vector<double>** lower_psum = nullptr;
        std::vector<double>** upper_psum = nullptr;
        const CutGuide* lower_guide = nullptr;
        const CutGuide* upper_guide = nullptr;
    };
    std::array<LayerTrans, 32> trans_memo;

    // Shapes of the table files.
    static const PSumPacket trans, htrans, wei, hwei, pdf, hpdf;

    // Builds the stack of `mediums` into `tables`.
    Layers(TableSet& tables, const std::vector<Medium*>& mediums);

    void MergeFace(double z, double diel, bool with_diel);
    void MergeInto(Medium* medium);

    Layer* FindLayer(double z);
    Layer* FindLayerFromGauss(double z);
    bool MoveUp();
    bool MoveDown();

    bool GetNearby(double& low, double& high) const;
    int GetLower() const;
    bool GetLowerLayer(double& z) const;
    bool GetLowerDiel(double& d) const;
    int GetHigher() const;
    bool GetHigherLayer(double& z) const;
    bool GetHigherDiel(double& d) const;
    bool GetDiel(double& d) const;
    bool DielNear(int step, double& d) const;
    bool TooLow() const;
    bool TooHigh() const;
    void Dump() const;

    // Registry.
    // {0, 0} (never registered) when the two are equal within MIE.
    static DielKey DielHash(double dlow, double dhigh);

    void UpdatePSum();
    void UpdatePWSum();
    void UpdateHalfPSum(double dlow, double dhigh);
    // Points the tables of the interface below (lower) or above the cursor
    // at the pair (dlow below, dhigh above), whatever the cursor's layer.
    void SelectCutPair(bool lower, double dlow, double dhigh);
    // The same for the transition tables alone, and for the weight tables alone.
    void SelectCutTrans(bool lower, double dlow, double dhigh);
    void SelectCutWeights(bool lower, double dlow, double dhigh);
    void UpdateHalfWSum(double dlow, double dhigh);
    void Update_PDF_Half_WSum(double dlow, double dhigh);

    double** GetPartialFaceSum(bool lower) const { return lower ? lower_psum_face : upper_psum_face; }
    std::vector<double>** GetPartialSum(bool lower) const { return lower ? lower_psum : upper_psum; }
    const CutGuide* GetCutGuides(bool lower) const { return lower ? lower_psum_guide : upper_psum_guide; }
    double** GetHalfPartialFaceSum() const { return half_psum_face; }
    std::vector<double>** GetHalfPartialSum() const { return half_psum; }
    const SurfaceGuide* GetHalfGuide() const { return half_psum_guide; }
    double**** GetWeightCross(bool lower) const { return lower ? lower_weight_cross : upper_weight_cross; }
    double**** GetHalfWeightCross() const { return half_weight_cross; }
    double*** GetWeightPartialFaceSum(bool lower) const { return lower ? lower_wpdf_face : upper_wpdf_face; }
    std::vector<double>*** GetWeightPartialSum(bool lower) const { return lower ? lower_wpdf : upper_wpdf; }
    WeightSignEntry GetWeightPartialSign(bool lower) const { return lower ? lower_wpdf_sign : upper_wpdf_sign; }
    double*** GetWeightHalfPartialFaceSum() const { return half_wpdf_face; }
    std::vector<double>*** GetWeightHalfPartialSum() const { return half_wpdf; }
};

// The cursor's neighbourhood: read on every hop, so defined here.
inline bool Layers::GetNearby(double& low, double& high) const
{
    if (cur_layer == -2) {
        if (!layers.empty()) {
            low = layers.back().pos;
            high = FAR_POS;
        }
        return false;
    }
    if (cur_layer < 0)
        return false;
    if (cur_layer == 0) {
        low = -FAR_POS;
        high = layers[0].pos;
        return false;
    }
    low = layers[cur_layer - 1].pos;
    high = layers[cur_layer].pos;
    return true;
}

inline int Layers::GetLower() const
{
    if (cur_layer == -2)
        return layers.size() > 1 ? (int)layers.size() - 2 : -4;
    if (cur_layer < 0)
        return -3;
    return cur_layer > 1 ? cur_layer - 2 : -4;
}

inline bool Layers::GetLowerLayer(double& z) const
{
    int idx = GetLower();
    if (idx < 0)
        return false;
    z = layers[idx].pos;
    return true;
}

inline int Layers::GetHigher() const
{
    if (cur_layer == -2)
        return -4;
    if (cur_layer < 0)
        return -3;
    return cur_layer + 1 >= (int)layers.size() ? -4 : cur_layer + 1;
}

inline bool Layers::GetHigherLayer(double& z) const
{
    int idx = GetHigher();
    if (idx < 0)
        return false;
    z = layers[idx].pos;
    return true;
}
