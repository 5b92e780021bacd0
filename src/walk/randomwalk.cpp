static const char KORVA_SOURCE[] = "src/randomwalk";

#include "randomwalk.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "floating.h"
#include "log.h"
#include "sampler.h"

static const int SEGNUM = 31;
static const int FACE_PANELS = SEGNUM * SEGNUM;  // 961


Randomwalk::Randomwalk(int id_, WalkShared* shared_, const Layers& layers_, int gauss_select_,
                       int weight_select_)
    : id(id_), shared(shared_), tid(), layers(layers_), gauss_select(gauss_select_),
      weight_select(weight_select_), st(&layers_.set->single)
{
    if (shared_ && shared_->floating) {
        const int floating = (int)shared_->floating->names.size();
        met_count.assign(floating, 0);
        met_inverse.assign(floating, 0.0);
        met.assign(floating, 0);
        potentials.Size(floating);
    }
}

// ---------------------------------------------------------------------------
// Cube sampling

void StructToVector3BadFace()
{
    FatalCheckFailed("false", KORVA_SOURCE, __LINE__,
                     "static const Vector3 Randomwalk::StructToVector3(const PointOnCube&, const "
                     "Cu&) [with Cu = BaseCube<double>; Vector3 = BaseVector3<double>]");
}

// Face and panel of entry i of a guide's end-to-end table.
static inline PointOnCube GuidedPanel(int i, int segnum, int& index)
{
    const int panels = segnum * segnum;
    // The face by a clamp, not a branch: one draw in six lands on the last.
    const int q = i / panels;
    const int fno = q < 5 ? q : 5;
    index = i - fno * panels;
    return Randomwalk::idx2pt(fno, index, segnum);
}

static inline PointOnCube PanelSearch(const SingleTables& t, CRandomMersenne& rng, const double* face_cdf,
                                      const std::vector<double>* panel_cdf, int segnum, int& index)
{
    const uint32_t word = rng.BRandom();
    const double r = (double)word * 2.3283064365386963e-10;  // as Random() makes it
    const SurfaceGuide* guide = GuideFor(t, panel_cdf);
    if (guide)
        return GuidedPanel(guide->Find(word), segnum, index);
    const int fno = FindFace(face_cdf, r);
    const std::vector<double>& panels = panel_cdf[fno];
    index = IsSingleMediumTable(t, panel_cdf)
                ? (int)(std::lower_bound(panels.begin(), panels.end(), r) - panels.begin())
                : FindPanel(panels, r);
    return Randomwalk::idx2pt(fno, index, segnum);
}

// Panel centres along a side of SEGNUM panels, computed as idx2pt computes
// them for any side: a hop reads two of them instead of dividing twice.
static const struct PanelCentres {
    double at[SEGNUM];
    PanelCentres()
    {
        for (int j = 0; j < SEGNUM; ++j)
            at[j] = (double)j / SEGNUM + 0.5 / SEGNUM;
    }
} panel_centres;

PointOnCube Randomwalk::idx2pt(int fno, int index, int segnum)
{
    FATAL_CHECK(0 <= index && index < segnum * segnum);
    FATAL_CHECK(0 <= fno && fno <= 5);
    if (segnum == SEGNUM)
        return PointOnCube(fno, panel_centres.at[index % SEGNUM], panel_centres.at[index / SEGNUM], 0);
    return PointOnCube(fno, (double)(index % segnum) / segnum + 0.5 / segnum,
                       (double)(index / segnum) / segnum + 0.5 / segnum, 0);
}

int CalcPos(double z, Cube& cube, bool lower)
{
    const double cz = cube.center.z;
    const double r = cube.radius;
    const double t = ((z - (cz - r)) / r) * 0.5 * 31;
    const int ret = (int)std::floor(t);
    if (lower) {
        FATAL_CHECK(ret <= CI_CUT_NUMX / 2);
        // Same centre, smaller side: grid line ret of the new cube is at z.
        cube.radius = (cz - z) * r / ((2 * r / 31) * (15.5 - ret));
        return ret;
    }
    FATAL_CHECK(ret >= CI_CUT_NUMX / 2);
    // The tables stop at the cut one row under the top face: an interface in
    // the last row would be walked through as one medium. Shrink the cube
    // to meet the interface with its top face instead.
    if (ret >= 29) {
        cube.radius = z - cz;
        return 31;
    }
    cube.radius = (z - cz) * r / ((0.5 + (ret - 15)) * (2 * r / 31));
    return ret + 1;
}

// A cut position's table, searched by its folded guide when the table is
// symmetric, else by its end-to-end guide when it has a usable one (the
// same one draw and the same panel as the face-then-panel search).
static inline PointOnCube CutSearch(const SingleTables& t, CRandomMersenne& rng, const double* face_cdf,
                                    const std::vector<double>* panel_cdf, const CutGuide* guide, int& index)
{
    if (guide && guide->members) {
        const uint32_t w = rng.BRandom();
        return GuidedPanel(guide->Find(w, rng.BRandom()), SEGNUM, index);
    }
    if (guide && guide->full.usable)
        return GuidedPanel(guide->full.FindCold(rng.BRandom()), SEGNUM, index);
    return PanelSearch(t, rng, face_cdf, panel_cdf, SEGNUM, index);
}

// The table a cube clipped at an interface (clip -1: below, 1: above)
// draws from: CalcPos shrinks the cube to put the interface on one of its
// grid lines, and a cube with none left inside takes the one-medium table.
struct CutTable {
    bool lower, whole;
    int k;
    const CutGuide* guide;  // of cut position k, or null
};

static inline CutTable ClipToCut(const Layers& layers, int clip, Cube& cube, double z_low, double z_high)
{
    CutTable c;
    c.lower = clip == -1;
    c.k = CalcPos(c.lower ? z_low : z_high, cube, c.lower);
    c.whole = c.lower ? c.k == 0 : c.k > 29;
    const CutGuide* guides = layers.GetCutGuides(c.lower);
    c.guide = guides && !c.whole ? guides + c.k : nullptr;
    return c;
}

static inline PointOnCube SearchCut(const SingleTables& t, const Layers& layers, CRandomMersenne& rng,
                                    const CutTable& c, int& index)
{
    if (c.whole)
        return PanelSearch(t, rng, t.partial_face_sum_arr, t.partial_sum_arr, SEGNUM, index);
    return CutSearch(t, rng, layers.GetPartialFaceSum(c.lower)[c.k], layers.GetPartialSum(c.lower)[c.k], c.guide,
                     index);
}

PointOnCube Randomwalk::GetPoint(int clip, Cube& cube, double z_low, double z_high)
{
    int index;
    if (clip == 0)
        return PanelSearch(*st, rand_walk, st->partial_face_sum_arr, st->partial_sum_arr, SEGNUM, index);
    return SearchCut(*st, layers, rand_walk, ClipToCut(layers, clip, cube, z_low, z_high), index);
}

// The hop through a cube that meets no interface, the commonest of all,
// drawn as GetPoint(0, ...) draws it but with the point kept in registers
// from the draw to the cube's face.
__attribute__((always_inline)) inline Vector3 Randomwalk::HomogeneousPoint(const Cube& cube)
{
    int index;
    const PointOnCube p = PanelSearch(*st, rand_walk, st->partial_face_sum_arr, st->partial_sum_arr, SEGNUM, index);
    return FacePoint(cube, p.fno, p.u, p.v);
}

// Where each entry of a guide's end-to-end table lands, as FacePoint puts
// it: per axis the offset from the face's corner in units of the side, which
// the frame takes from the panel's u, its v, or 0 (exactly those, as 1 and 0
// multiply them there), kept as an index into `offset`. A hop then reads
// its landing instead of dividing the entry into face, row and column.
static const struct GuidedLandings {
    struct Landing {
        uint8_t at[3];
        uint8_t fno;
    };
    static const int ENTRIES = 6 * FACE_PANELS;
    Landing of[ENTRIES];
    // Twice the panel centres, then 0: twice the offset times the radius
    // is the offset times the side to the last bit (doubling is exact), and
    // spares the hop the side.
    double offset[SEGNUM + 1];
    GuidedLandings()
    {
        for (int j = 0; j < SEGNUM; ++j)
            offset[j] = 2.0 * panel_centres.at[j];
        offset[SEGNUM] = 0.0;
        for (int i = 0; i < ENTRIES; ++i) {
            const int fno = i / FACE_PANELS, index = i % FACE_PANELS;
            const FaceFrame& f = FACE_FRAMES[fno];
            Landing& l = of[i];
            l.fno = (uint8_t)fno;
            for (int a = 0; a < 3; ++a)
                l.at[a] = (uint8_t)(f.along_u[a] != 0 ? index % SEGNUM : f.along_v[a] != 0 ? index / SEGNUM : SEGNUM);
        }
    }
} guided_landings;

// Where entry `found` of a guide's end-to-end table lands on the cube.
static __attribute__((always_inline)) inline Vector3 LandOn(const Cube& cube, int found)
{
    if (__builtin_expect((unsigned)found >= (unsigned)GuidedLandings::ENTRIES, 0)) {
        int index;
        const PointOnCube p = GuidedPanel(found, SEGNUM, index);
        return FacePoint(cube, p.fno, p.u, p.v);
    }
    const GuidedLandings::Landing l = guided_landings.of[found];
    const double* w = guided_landings.offset;
    const double r = cube.radius;
    const double* side = FACE_FRAMES[l.fno].side;
    return Vector3((cube.center.x + side[0] * r) + w[l.at[0]] * r, (cube.center.y + side[1] * r) + w[l.at[1]] * r,
                   (cube.center.z + side[2] * r) + w[l.at[2]] * r);
}

__attribute__((always_inline)) inline Vector3 Randomwalk::HomogeneousPoint(const Cube& cube, int found)
{
    rand_walk.SkipPeeked();
    return LandOn(cube, found);
}

Vector3 Randomwalk::CutPoint(int clip, Cube& cube, double z_low, double z_high)
{
    const CutTable c = ClipToCut(layers, clip, cube, z_low, z_high);
    // A folded table gives an entry of the end-to-end table, which lands
    // through the guide's landing table as a homogeneous hop's does.
    if (c.guide && c.guide->members) {
        const uint32_t w = rand_walk.BRandom();
        return LandOn(cube, c.guide->Find(w, rand_walk.BRandom()));
    }
    int index;
    return StructToVector3(SearchCut(*st, layers, rand_walk, c, index), cube);
}

int Randomwalk::GetPointByWeight(PointOnCube& pt, double* faceCdf, std::vector<double>* panelCdf,
                                 int segnum)
{
    int index;
    pt = PanelSearch(*st, rand_walk, faceCdf, panelCdf, segnum, index);
    pt.strata = 0;
    return index;
}

// ---------------------------------------------------------------------------
// Strata of the first transition cube

int Randomwalk::GetStrata(int id_gss, int fno, int index)
{
    // Cube face looking into the Gaussian box, per start face.
    static const int top_face[6] = {5, 3, 4, 1, 2, 0};
    FATAL_CHECK_TEXT(id_gss >= 0 && id_gss <= 5, "strata !=-1");
    const int top = top_face[id_gss];
    const int bottom = id_gss;
    if (fno == top)
        return FindOnTopFace(index);
    if (fno == bottom)
        return FindOnTopFace(index) + 7;
    return 14 + FindOnSideFace(index, id_gss, fno);
}

int Randomwalk::FindOnTopFace(int index)
{
    const int i = index % SEGNUM, j = index / SEGNUM;
    const int m = std::max(std::abs(j - 15), std::abs(i - 15));
    const int strata =
        (int)(std::lower_bound(st->strata_array.begin(), st->strata_array.end(), m) - st->strata_array.begin());
    FATAL_CHECK(strata>=0 && strata < SS_DIV);
    return strata;
}

// 0 on the half nearer the top face, 1 on the middle row or column, 2 on the
// half nearer the bottom face.
static inline int SideRule(int c, bool top_is_high)
{
    if (c == 15)
        return 1;
    return ((c > 15) == top_is_high) ? 0 : 2;
}

int Randomwalk::FindOnSideFace(int index, int a, int b)
{
    const int i = index % SEGNUM, j = index / SEGNUM;
    switch (a) {
    case 0: return SideRule(j, true);
    case 5: return SideRule(j, false);
    case 2: return SideRule(i, false);
    case 4: return SideRule(i, true);
    case 1:
    case 3: {
        const bool top_is_high = (a == 1);
        if (b == 0 || b == 5)
            return SideRule(j, top_is_high);
        if (b == 2 || b == 4)
            return SideRule(i, top_is_high);
        return -1;
    }
    default: return -1;
    }
}

// ---------------------------------------------------------------------------
// Interface clipping

int Randomwalk::CheckInterface(const Layers& layers, const Vector3& pt, double layer_low,
                               double layer_high, double& diel_low, double& diel_up) const
{
    int intf = 0;
    const double z = pt.Z();
    if (std::fabs(z - layer_low) < MIE) {
        FATAL_CHECK(layers.GetDiel(diel_up) && layers.GetLowerDiel(diel_low));
        intf = -1;
    }
    if (std::fabs(z - layer_high) < MIE) {
        FATAL_CHECK(intf == 0);
        FATAL_CHECK(layers.GetHigherDiel(diel_up) && layers.GetDiel(diel_low));
        intf = 1;
    }
    return intf;
}

// The member's work, inlined into every hop.
static __attribute__((always_inline)) inline int ClipTransDomain(const Layers& layers, Cube& cube,
                                                                 double& layer_low,
                                                                 double& layer_high, bool shrink)
{
    layers.GetNearby(layer_low, layer_high);
    const double z = cube.center.z;
    const double r = cube.radius;
    const double d1 = z - layer_low;
    const double d2 = layer_high - z;
    FATAL_CHECK(d1 > -MIE);
    FATAL_CHECK(d2 > -MIE);
    double far_z;
    double d3 = 1e100, d4 = 1e100;
    if (layers.GetLowerLayer(far_z)) {
        d3 = z - far_z;
        FATAL_CHECK(d3 > -MIE);
    }
    if (layers.GetHigherLayer(far_z)) {
        d4 = far_z - z;
        FATAL_CHECK(d4 > -MIE);
    }
    // A tie goes to the bottom interface.
    const double nearest = d1 > d2 ? d2 : d1;
    const int code = d1 > d2 ? 1 : -1;
    const double m = d3 <= d4 ? d3 : d4;
    const double other = std::max(d1, d2);
    const double second = other > m ? m : other;
    if (r <= nearest)
        return 0;
    if (shrink) {
        cube.radius = nearest;
        return 0;
    }
    if (r <= second)
        return code;
    // The tables know one interface per cube: pull the second one onto a face.
    cube.radius = second;
    return code;
}

int Randomwalk::ClipTransDomain(const Layers& layers, Cube& cube, double& layer_low,
                                double& layer_high, bool shrink) const
{
    return ::ClipTransDomain(layers, cube, layer_low, layer_high, shrink);
}

// Uniform panel over the whole cube surface; strata only under selector 3.
static inline PointOnCube UniformPanel(Randomwalk& rw, int id_gss, int& index)
{
    const int n = (int)(rw.rand_walk.Random() * 6.0 * 961.0);
    index = n % FACE_PANELS;
    PointOnCube pt = Randomwalk::idx2pt(n / FACE_PANELS, index, SEGNUM);
    pt.strata = rw.weight_select == 3 ? rw.GetStrata(id_gss, pt.fno, index) : 0;
    return pt;
}

// The guide a first hop through a cube that meets no interface searches,
// if its table has one.
static inline const SurfaceGuide* FirstHopGuide(const SingleTables& t, int weight_select, int id_gss)
{
    switch (weight_select) {
    case 0: return GuideFor(t, t.partial_sum_arr);
    case 2:
    case 4: return GuideFor(t, t.cdf_single_weight[GAUSS_FACE_AXIS[id_gss]]);
    default: return nullptr;
    }
}

double Randomwalk::GetClipWeightAndPoint(int clip, Cube& cube, double layer_low,
                                         double layer_high, PointOnCube& pt, int id_gss, int peeked)
{
    const int drc = GAUSS_FACE_AXIS[id_gss];
    const double S = GAUSS_FACE_SIGN[id_gss];
    bool multi = false;
    bool lower = true;
    int k = 0;
    if (clip == -1) {
        k = CalcPos(layer_low, cube, true);
        multi = (k != 0);
    } else if (clip != 0) {
        k = CalcPos(layer_high, cube, false);
        multi = (k <= 29);
        lower = false;
    }
    const double r = cube.radius;
    int index = 0;

    if (!multi && peeked >= 0) {
        rand_walk.SkipPeeked();
        pt = GuidedPanel(peeked, SEGNUM, index);
        pt.strata = 0;
    }
    if (!multi) {
        switch (weight_select) {
        case 0:
            if (peeked < 0)
                index = GetPointByWeight(pt, st->partial_face_sum_arr, st->partial_sum_arr, SEGNUM);
            return S * (-st->cdf_single_weight[drc][pt.fno][index]) * 0.5 / r;
        case 1:
        case 3:
            pt = UniformPanel(*this, id_gss, index);
            FATAL_CHECK(pt.strata <= 16 && pt.strata>=0);
            return S * (-st->cdf_single_weight[drc][pt.fno][index]) * 0.5 / r * 5766.0;
        case 2:
        case 4:
            if (peeked < 0)
                index = GetPointByWeight(pt, st->cdf_face_single_weight[drc], st->cdf_single_weight[drc], SEGNUM);
            return -GetClipSign(id_gss, pt.fno, index, SEGNUM) * std::fabs(st->single_weight[drc]) *
                   0.5 / r;
        default:
            if (clip == 0)
                Log::pinfo(" in Get point by weight.\n");
            FATAL_CHECK(false);
        }
    }

    std::vector<double>** values = layers.GetWeightPartialSum(lower)[k];
    switch (weight_select) {
    case 0:
        index = GetPointByWeight(pt, layers.GetPartialFaceSum(lower)[k],
                                 layers.GetPartialSum(lower)[k], SEGNUM);
        FATAL_CHECK((int)index <= CI_CUTS);
        return S * (-values[drc][pt.fno][index]) * 0.5 / r;
    case 1:
    case 3:
        pt = UniformPanel(*this, id_gss, index);
        FATAL_CHECK(pt.strata <= 16 && pt.strata>=0);
        return S * (-values[drc][pt.fno][index]) * 0.5 / r * 5766.0;
    case 2:
    case 4: {
        index = GetPointByWeight(pt, layers.GetWeightPartialFaceSum(lower)[k][drc], values[drc],
                                 SEGNUM);
        FATAL_CHECK((int)index <= CI_CUTS);
        const double cross = std::fabs(layers.GetWeightCross(lower)[k][drc][0][0]);
        const WeightSignEntry signs = layers.GetWeightPartialSign(lower);
        // Across an interface the weight's sign does not follow the mid-plane
        // of the cube (the row straddling it has one sign, and stronger
        // contrasts flip rows beyond it), so the drawn panel's own sign wins.
        if (signs)
            return -S * signs[k][drc][pt.fno][index] * cross * 0.5 / r;
        return -GetClipSign(id_gss, pt.fno, index, SEGNUM) * cross * 0.5 / r;
    }
    default: FATAL_CHECK(false);
    }
}

double Randomwalk::GetClipHalfWeightAndPoint(int, Cube& cube, double, double, PointOnCube& pt,
                                             int id_gss)
{
    const int drc = GAUSS_FACE_AXIS[id_gss];
    const int index = GetPointByWeight(pt, layers.GetWeightHalfPartialFaceSum()[0][drc],
                                       layers.GetWeightHalfPartialSum()[0][drc], 32);
    const int s = GetClipSign(id_gss, pt.fno, index, 32);
    FATAL_CHECK((int)index <= CI_CUTS_H);
    return -s * layers.GetHalfWeightCross()[0][drc][0][0] * 0.5 / cube.radius;
}

PointOnCube Randomwalk::GetPointInHalf(const Layers&, bool& upper, double, double, Cube& cube,
                                       double radius)
{
    const int segnum = 32;
    const SurfaceGuide* guide = layers.GetHalfGuide();
    int fno, index;
    if (guide && guide->usable) {
        // The same draw and panel as the face-then-panel search below.
        const int i = guide->Find(rand_walk.BRandom());
        fno = i < 5 * segnum * segnum ? i / (segnum * segnum) : 5;
        index = i - fno * segnum * segnum;
        if (index == segnum * segnum)
            index--;
    } else {
        const double u = rand_walk.Random();
        fno = FindFace(layers.GetHalfPartialFaceSum()[0], u);
        const std::vector<double>& cdf = layers.GetHalfPartialSum()[0][fno];
        index = FindPanel(cdf, u);
        // A draw above a total that rounding left just below 1 takes the last panel.
        if (fno == 5 && index == (int)cdf.size() && index > 0)
            index--;
    }
    PointOnCube pt = idx2pt(fno, index, segnum);
    if (fno == 0)
        upper = false;
    else if (fno != 5 && index / segnum <= 15)
        upper = false;  // rows run along z; row 16 is the first above the interface
    cube.radius = radius;
    return pt;
}

// Per start face and cube face, whether the weight's sign is negative on
// the whole face, on its half below the middle row (index < half a face),
// or on its half left of the middle column. A walk's start face is a fresh
// draw: a switch on it and on the face was a mispredicted jump or two per
// walk, where these are loads.
static const struct ClipSignRules {
    uint8_t whole[6][6], rows[6][6], cols[6][6];
    ClipSignRules()
    {
        for (int g = 0; g < 6; ++g)
            for (int f = 0; f < 6; ++f) {
                bool whole_face = false, by_row = false, by_col = false;
                switch (g) {
                case 0:
                case 5:
                    whole_face = f == 0;
                    by_row = f >= 1 && f <= 4;
                    break;
                case 1:
                case 3:
                    whole_face = f == 1;
                    by_col = f == 2 || f == 4;
                    by_row = f == 0 || f == 5;
                    break;
                default:
                    whole_face = f == 4;
                    by_col = f != 2 && f != 4;
                }
                whole[g][f] = whole_face;
                rows[g][f] = by_row;
                cols[g][f] = by_col;
            }
    }
} clip_sign_rules;

int Randomwalk::GetClipSign(int id_gss, int fno, int index, int segnum)
{
    FATAL_CHECK((unsigned)id_gss < 6u && (unsigned)fno < 6u);
    const ClipSignRules& r = clip_sign_rules;
    const int below = index < segnum * segnum / 2, left = index % segnum < segnum / 2;
    const int negative = r.whole[id_gss][fno] | (r.rows[id_gss][fno] & below) | (r.cols[id_gss][fno] & left);
    return GAUSS_FACE_SIGN[id_gss] * (1 - 2 * negative);
}

// ---- walk loop ----

#include "floating.h"
#include "gausssurface.h"
#include "spacemanager.h"

// Distance that SearchNearestCuboid reports for a point outside the window.
static const int NOT_FOUND = (int)0x80000001u;
static const long long STATUS_PERIOD = 50000;
static const long long CHECK_PERIOD = 1000;

Vector3 Randomwalk::GetGaussPoint(const Cuboid& gauss, const std::vector<double>& sizes,
                                  const std::vector<double>& diels, const std::vector<double>& g_endz,
                                  const std::vector<std::vector<double>>& side_cdfs, int& id_gss,
                                  int& band)
{
    const int n = (int)sizes.size();
    const double x = rand_walk.Random() * diels[n - 1];
    const int k = (int)(std::lower_bound(diels.begin(), diels.end(), x) - diels.begin());
    band = k;
    const double dx = gauss.x1 - gauss.x0, dy = gauss.y1 - gauss.y0;
    if (k == 0 || k == n - 1) {
        const double r2 = rand_walk.Random();
        const double r3 = rand_walk.Random();
        id_gss = k == 0 ? 0 : 5;
        return Vector3(gauss.x0 + dx * r2, gauss.y0 + dy * r3, k == 0 ? gauss.z0 : gauss.z1);
    }
    const double r4 = rand_walk.Random();
    const int m = rand_gauss.IRandomX(0, 49);
    const double z = gauss.z0 + g_endz[k - 1] + (m + 0.5) * (g_endz[k] - g_endz[k - 1]) / 50;
    const double t = (x - diels[k - 1]) / (diels[k] - diels[k - 1]);
    // The last cumulative share may fall a rounding step below 1; t never
    // exceeds 1, so whatever lies past the third share is side 4.
    const std::vector<double>& cdf = side_cdfs[k];
    const int s = 1 + (int)(std::lower_bound(cdf.begin(), cdf.begin() + 3, t) - cdf.begin());
    id_gss = s;
    switch (s) {
    case 1: return Vector3(gauss.x0 + r4 * dx, gauss.y0, z);
    case 2: return Vector3(gauss.x1, gauss.y0 + r4 * dy, z);
    case 3: return Vector3(gauss.x1 - r4 * dx, gauss.y1, z);
    case 4: return Vector3(gauss.x0, gauss.y1 - r4 * dy, z);
    default:
        Log::perror("wrong get point in gaussian surface");
        FATAL_CHECK(false);
    }
    return Vector3();
}

int Randomwalk::Start()
{
    int rc = pthread_create(&tid, nullptr, thread_proc, this);
    if (rc != 0) {
        throw InputError{Log::format("cannot start worker thread %d\n", id)};
    }
    return rc;
}

void Randomwalk::Wait()
{
    pthread_join(tid, nullptr);
}

void* Randomwalk::thread_proc(void* arg)
{
    Randomwalk* w = static_cast<Randomwalk*>(arg);
    if (w->shared->chunked)
        w->ChunkCore();
    else
        w->RandomwalkCore();
    return nullptr;
}

// Radius of a half cube on interface intf: it reaches neither the far face
// of the neighbouring layer nor the far face of the current one.
static double HalfRadius(const Layers& layers, int intf, double r, double layer_low,
                         double layer_high)
{
    double z;
    if (intf == 1 && layers.GetHigherLayer(z))
        r = std::min(r, z - layer_high);
    if (intf == -1 && layers.GetLowerLayer(z))
        r = std::min(r, layer_low - z);
    return std::min(r, layer_high - layer_low);
}

// Moves the cursor when the point has left the current layer.
static inline void LayerFixup(Layers& layers, double z, double& layer_low, double& layer_high)
{
    if (z < layer_low - MIE) {
        layers.MoveDown();
        layers.GetNearby(layer_low, layer_high);
    } else if (z > layer_high + MIE) {
        layers.MoveUp();
        layers.GetNearby(layer_low, layer_high);
    }
}

// How far the cube of at most one interface reaches from pt: held to the
// band's thickness where bands are thinner than the conductors are far.
static double OneInterfaceReach(const Layers& layers, const Vector3& pt, double r, int intf, double layer_low,
                                double layer_high)
{
    if (intf != 0)
        return HalfRadius(layers, intf, r, layer_low, layer_high);
    const double z = pt.z;
    if (r <= std::min(z - layer_low, layer_high - z))
        return r;
    double far_z, second = std::max(z - layer_low, layer_high - z);
    if (layers.GetLowerLayer(far_z))
        second = std::min(second, z - far_z);
    if (layers.GetHigherLayer(far_z))
        second = std::min(second, far_z - z);
    return std::min(r, second);
}

// A box between two planes of the stack that holds any number of
// interfaces, when it reaches at least twice as far as that cube; invalid
// (a < 0) when none does.
static StackBoxChoice BetterBox(const StackBoxes& boxes, const Layers& layers, const Vector3& pt, double r, int intf,
                                double layer_low, double layer_high)
{
    const double reach = OneInterfaceReach(layers, pt, r, intf, layer_low, layer_high);
    if (reach >= 0.5 * r)
        return StackBoxChoice();
    StackBoxChoice c = boxes.Choose(pt.z, r);
    if (c.reach < 2.0 * reach)
        c.a = -1;
    return c;
}

// Moves the cursor to the layer of z, however many interfaces away.
static void FollowLayers(Layers& layers, double z, double& layer_low, double& layer_high)
{
    while (z < layer_low - MIE && layers.MoveDown())
        layers.GetNearby(layer_low, layer_high);
    while (z > layer_high + MIE && layers.MoveUp())
        layers.GetNearby(layer_low, layer_high);
    layers.GetNearby(layer_low, layer_high);
}

// The box's point in space; its bottom and top are planes of the stack,
// landed on exactly.
Vector3 BoxToSpace(const StackBoxes& boxes, const StackBoxChoice& c, const Vector3& start, const BoxPoint& p,
                   bool swap_xy)
{
    const double za = boxes.z[c.a], zb = boxes.z[c.b], H = zb - za;
    const double half = StackBoxes::ASPECT[c.q] * H / 2;
    const double px = swap_xy ? p.y : p.x, py = swap_xy ? p.x : p.y;
    return Vector3(start.x - half + px * H, start.y - half + py * H,
                   p.z <= 0.0 ? za : (p.z >= 1.0 ? zb : za + p.z * H));
}

bool Randomwalk::StackBoxHop(StackBoxes& boxes, Vector3& pt, double r, int intf, double& layer_low,
                             double& layer_high)
{
    const StackBoxChoice c = BetterBox(boxes, layers, pt, r, intf, layer_low, layer_high);
    if (c.a < 0)
        return false;
    pt = BoxLanding(boxes, c, pt);
    FollowLayers(layers, pt.z, layer_low, layer_high);
    return true;
}

Vector3 Randomwalk::BoxLanding(const StackBoxes& boxes, const StackBoxChoice& c, const StackBoxLaw& law,
                               const Vector3& pt)
{
    const double za = boxes.z[c.a], H = boxes.z[c.b] - za;
    const double u0 = rand_walk.Random(), u1 = rand_walk.Random(), u2 = rand_walk.Random(), u3 = rand_walk.Random();
    return BoxToSpace(boxes, c, pt, DrawStackBox(law, (pt.z - za) / H, u0, u1, u2, u3), false);
}

bool Randomwalk::StackBoxFirstHop(StackBoxes& boxes, Vector3& pt, double r, int id_gss, double& layer_low,
                                  double& layer_high, double& weight)
{
    // Most starts have no box at all, which the choice tells without the
    // cube below.
    const StackBoxChoice c = boxes.Choose(pt.z, r);
    if (c.a < 0)
        return false;
    // The cube the first hop would take otherwise: its weight grows as its
    // side shrinks, and the cut tables shrink it to put a start just off
    // an interface on a row of the table.
    Cube cube(pt, r);
    double low = layer_low, high = layer_high;
    const int code = ::ClipTransDomain(layers, cube, low, high, false);
    if (code != 0)
        CalcPos(code == -1 ? low : high, cube, code == -1);
    if (c.reach <= cube.radius)
        return false;
    double eps = 1.0;
    layers.GetDiel(eps);
    weight = BoxFirstHop(boxes, c, pt, id_gss, eps);
    FollowLayers(layers, pt.z, layer_low, layer_high);
    return true;
}

double Randomwalk::BoxFirstHop(StackBoxes& boxes, const StackBoxChoice& c, Vector3& pt, int id_gss, double eps)
{
    const StackBoxLaw& law = boxes.Law(c);
    const double za = boxes.z[c.a], H = boxes.z[c.b] - za;
    const int axis = GAUSS_FACE_AXIS[id_gss];
    const double u0 = rand_walk.Random(), u1 = rand_walk.Random(), u2 = rand_walk.Random(), u3 = rand_walk.Random();
    double w = 0.0;
    const BoxPoint p = DrawStackBoxWeighted(law, (pt.z - za) / H, axis == 2, u0, u1, u2, u3, w);
    // The table holds the flux eps dP/dz, continuous across the cuts.
    if (axis == 2)
        w /= eps;
    pt = BoxToSpace(boxes, c, pt, p, axis == 1);
    return -GAUSS_FACE_SIGN[id_gss] * w / H;
}

// From a point at distance R > a of the centre of the sphere of radius a
// around every conductor, in one medium filling all space: the walk meets
// the sphere with probability a / R, else it escapes to infinity. Where it
// meets it follows the exterior Poisson kernel, which inversion in the
// sphere turns into the interior one from the point at a^2 / R: cos(theta)
// about the walk's direction has the density a (a^2 - rho^2) / (2 (a^2 +
// rho^2 - 2 a rho t)^(3/2)), drawn by inverting its distribution.
bool Randomwalk::FarStep(const WalkShared& m, Vector3& pt)
{
    const double a = m.far_radius;
    const double R = std::sqrt((pt.x - m.far_centre.x) * (pt.x - m.far_centre.x) +
                               (pt.y - m.far_centre.y) * (pt.y - m.far_centre.y) +
                               (pt.z - m.far_centre.z) * (pt.z - m.far_centre.z));
    const double u0 = rand_walk.Random(), u1 = rand_walk.Random(), u2 = rand_walk.Random();
    if (u0 * R >= a)
        return false;
    const double rho = a * a / R;
    const double inv = u1 * 2 * rho / (a * a - rho * rho) + 1 / (a + rho);
    const double q = 1 / (inv * inv);
    const double t = std::max(-1.0, std::min(1.0, (a * a + rho * rho - q) / (2 * a * rho)));
    const double st = std::sqrt(std::max(0.0, 1 - t * t));
    const double ex = (pt.x - m.far_centre.x) / R, ey = (pt.y - m.far_centre.y) / R, ez = (pt.z - m.far_centre.z) / R;
    // Two unit vectors across e.
    double px, py, pz;
    if (std::fabs(ex) < 0.6) {
        px = 0;
        py = ez;
        pz = -ey;
    } else {
        px = -ez;
        py = 0;
        pz = ex;
    }
    const double pn = std::sqrt(px * px + py * py + pz * pz);
    px /= pn;
    py /= pn;
    pz /= pn;
    const double qx = ey * pz - ez * py, qy = ez * px - ex * pz, qz = ex * py - ey * px;
    const double phi = 2 * M_PI * u2, c = st * std::cos(phi), s = st * std::sin(phi);
    pt = Vector3(m.far_centre.x + a * (t * ex + c * px + s * qx), m.far_centre.y + a * (t * ey + c * py + s * qy),
                 m.far_centre.z + a * (t * ez + c * pz + s * qz));
    return true;
}

// Worker 0's view of the master estimate, taken under the lock.
struct MasterCheck {
    long long last = 0;
    double mean = 0.0;
    double var = 0.0;
};

// Takes the run's lock. Walks are short, so the other worker usually
// holds the lock for a few dozen nanoseconds only: spin on it briefly before
// sleeping, which spares the two futex system calls of a contended lock.
static inline void LockRun(pthread_mutex_t* mutex)
{
    for (int i = 0; i < 200; i++) {
        if (pthread_mutex_trylock(mutex) == 0)
            return;
        __builtin_ia32_pause();
    }
    pthread_mutex_lock(mutex);
}

static inline const GaussSurface& FloatingSurface(const WalkShared& m, int k)
{
    return m.floating->surfaces[k];
}

int Randomwalk::EndOrGoOn(const WalkShared& m, int slot, int& leg, double leg_weight, Vector3& pt)
{
    if (!m.floating)
        return slot;
    int k = -1;
    const FloatingNext next = FloatingEnd(*m.floating, slot, leg, leg_weight, k);
    if (next == FloatingNext::End)
        return slot;
    if (next == FloatingNext::Leg)
        return NEW_LEG;
    pt = m.floating->ShellPoint(k, rand_walk);
    return ON_SHELL;
}

// A floating conductor with a shell table: the walk goes on from its shell
// with its weight unchanged, V_F being the shell's positive average of the
// potential (ShellTable). One without (its shell grid too large) takes a
// signed leg instead. Charge neutrality of F: with u the outward flux weight
// of a leg's first hop in units of the leg's scale, E[u (phi - V_F)] = 0
// over the legs from F's Gaussian surface, where phi is the potential the
// leg ends at (V_F itself when it comes back to F). A leg that comes back
// starts again; one that ends elsewhere takes its end with probability
// |u| / (|u| + |1 - u|) and otherwise starts again, the walk's factor
// times (|u| + |1 - u|) with the sign of u or of 1 - u. The value a walk
// from F brings back then has mean V_F exactly: E[R] (1 - P_back - E[(1 -
// u) 1_away]) = E[u phi 1_away], and 1 - P_back = P_away.
Randomwalk::FloatingNext Randomwalk::FloatingEnd(const FloatingSet& fs, int slot, int& leg, double leg_weight,
                                                 int& shell)
{
    if (leg >= 0) {
        if (slot == fs.slot[leg])
            return FloatingNext::Leg;
        const double u = -leg_weight / fs.scale[leg];
        const double take = std::fabs(u), stay = std::fabs(1.0 - u), sum = take + stay;
        if (rand_walk.Random() * sum >= take) {
            carry *= 1.0 - u < 0 ? -sum : sum;
            return FloatingNext::Leg;
        }
        carry *= u < 0 ? -sum : sum;
    }
    const int k = fs.of_slot[slot];
    if (k < 0)
        return FloatingNext::End;
    if (pool) {
        // Only the first absorption decides; a continuation goes on through
        // every floating conductor it meets to a fixed one.
        if (pool_hit < 0) {
            pool_hit = k;
            if (!pool->GoOn(k, 0.5 * pool_weight))
                return FloatingNext::End;
        } else if (k != pool_hit && met_count[k]++ == 0) {
            // What the continuation does after first meeting k is a draw of
            // k's own continuation: its potential gets it too.
            met[met_n++] = k;
        }
        shell = k;
        return FloatingNext::Shell;
    }
    if (met_count[k]++ == 0)
        met[met_n++] = k;
    met_inverse[k] += 1.0 / carry;
    if (fs.shell_of[k] >= 0) {
        leg = -1;
        shell = k;
        return FloatingNext::Shell;
    }
    leg = k;
    return FloatingNext::Leg;
}

// One walk from the Gaussian surface to a conductor or out of the window:
// its weight, start face and stratum, and the result slot it ends in.
// Forced inline so that both walk loops keep the hot path of one.
__attribute__((always_inline)) inline int Randomwalk::Walk(WalkShared& m, int n, double& weight,
                                                           int& id_gss, int& strata, long long& hops)
{
    if (m.bodies)
        return WalkBodies(m, n, weight, id_gss, strata, hops);
    int band = 0;
    id_gss = -1;
    strata = -1;
    carry = 1.0;
    double face_dist = 0.0;
    // A walk absorbed by a floating conductor goes on with a new leg from
    // that conductor's surface: its first hop's weight (leg_weight) decides
    // what the leg carries, the master's first hop stays the walk's weight.
    int leg = -1, leg_face = -1;
    double leg_weight = 0.0;
leg_start:
    const GaussSurface* surface = leg < 0 ? m.block_surface : &FloatingSurface(m, leg);
    int& face = leg < 0 ? id_gss : leg_face;
    double& hop_weight = leg < 0 ? weight : leg_weight;
    Vector3 pt = surface ? surface->Draw(rand_walk, rand_gauss, face, face_dist)
                         : GetGaussPoint(m.gauss_surface, m.sizes, m.diels, m.g_endz, m.side_cdfs,
                                         face, band);
    FATAL_CHECK_TEXT(face >= 0 && face <= 5, "id_gss >=0 && id_gss <=5");
    // The first hop's draw and its panel should the cube meet no interface,
    // found while the start point's cube is measured.
    const SurfaceGuide* first_guide = FirstHopGuide(*st, weight_select, face);
    const int peeked = first_guide ? first_guide->Find(rand_walk.PeekBRandom()) : -1;
    if (!surface)
        face_dist = m.gauss_dist[face];
    layers.FindLayerFromGauss(pt.z);
    Cube cube = surface ? m.spacemgr->GetDomainCubic(pt) : m.spacemgr->GetDomainCubic(pt, m.gauss_starts, face);
    double layer_low = -1e100, layer_high = 1e100, diel_low = 0.0, diel_up = 0.0;
    layers.GetNearby(layer_low, layer_high);
    int intf = CheckInterface(layers, pt, layer_low, layer_high, diel_low, diel_up);

    // First hop: its weight is fixed for the whole walk.
    PointOnCube spt;
    bool boxed = false;
    if (m.stack_boxes && weight_select == 4 && intf == 0)
        boxed = StackBoxFirstHop(*m.first_boxes, pt, cube.radius, face, layer_low, layer_high, hop_weight);
    if (boxed) {
    } else if (intf != 0) {
        cube.radius = HalfRadius(layers, intf, cube.radius, layer_low, layer_high);
        layers.UpdateHalfWSum(diel_low, diel_up);
        layers.Update_PDF_Half_WSum(diel_low, diel_up);
        hop_weight = GetClipHalfWeightAndPoint(intf, cube, layer_low, layer_high, spt, face);
    } else {
        int code = ClipTransDomain(layers, cube, layer_low, layer_high, false);
        hop_weight = GetClipWeightAndPoint(code, cube, layer_low, layer_high, spt, face, peeked);
        if (weight_select == 3 && leg < 0) {
            FATAL_CHECK_TEXT(spt.strata != -1, "strata != -1");
            strata = spt.strata;
        }
    }
    hop_weight *= surface && leg >= 0 ? surface->total : m.gauss_total;
    // The start face was drawn with a density divided by its factor,
    // whichever kind of first hop follows.
    if (gauss_select == 1)
        hop_weight *= face_dist;
    if (!boxed)
        pt = StructToVector3(spt, cube);
    ++hops;

    const SurfaceGuide* guide = GuideFor(*st, st->partial_sum_arr);
    // Whether a point lies beyond twice the radius of an open window's
    // sphere around the conductors, with the sphere's numbers read once.
    const bool open = m.far_radius > 0;
    const Vector3 far_centre = m.far_centre;
    const double far_limit = 4 * m.far_radius * m.far_radius;
    auto far_away = [&far_centre, far_limit](const Vector3& p) {
        const double dx = p.x - far_centre.x, dy = p.y - far_centre.y, dz = p.z - far_centre.z;
        return dx * dx + dy * dy + dz * dz > far_limit;
    };
    LeafIndex::Hint leaf;
    for (;;) {
        int d = 0, found = 0;
        const Cuboid* hit = nullptr;
        if (open && far_away(pt)) {
            // An open window's walk far from every conductor: back onto
            // the sphere around them, or gone as if out of the window.
            ++hops;
            if (FarStep(m, pt)) {
                layers.FindLayerFromGauss(pt.z);
                layers.GetNearby(layer_low, layer_high);
                continue;
            }
            d = NOT_FOUND;
        } else {
            // The next draw and the panel it picks should the cube meet no
            // interface: neither depends on where the walk is, so they are
            // found while the search below runs instead of after it.
            found = guide ? guide->Find(rand_walk.PeekBRandom()) : 0;
            hit = m.spacemgr->SearchNearestCuboid(ToGrid(pt), d, leaf);
        }
    searched:
        if (d == NOT_FOUND || d == 0) {
            const int end = EndOrGoOn(m, d == 0 ? hit->id : n - 1, leg, leg_weight, pt);
            if (end >= 0)
                return end;
            if (end == NEW_LEG)
                goto leg_start;
            layers.FindLayerFromGauss(pt.z);
            layers.GetNearby(layer_low, layer_high);
            continue;
        }
        ++hops;
        if (layer_low < -0.5 * FAR_POS && layer_high > 0.5 * FAR_POS) {
            // One medium all the way up and down (a free-space window, or
            // a deck of one permittivity): no interface to find, clip or
            // cross, whichever way the walk goes.
            if (!guide) {
                cube = Cube(pt, d / 5000.0);
                pt = HomogeneousPoint(cube);
                continue;
            }
            // Nothing but this hop until the walk reaches a conductor or
            // leaves: a loop of its own, with the tests that cannot change
            // on the way taken out of it and its point kept in registers.
            Vector3 at = pt;
            for (;;) {
                at = HomogeneousPoint(Cube(at, d / 5000.0), found);
                if (open && far_away(at))
                    break;
                found = guide->Find(rand_walk.PeekBRandom());
                hit = m.spacemgr->SearchNearestCuboid(ToGrid(at), d, leaf);
                if (d == NOT_FOUND || d == 0) {
                    // The walk ends or goes on from a conductor as any other does.
                    pt = at;
                    goto searched;
                }
                ++hops;
            }
            pt = at;
            continue;
        }
        {
            // Most hops of a stack keep their cube inside the walk's band:
            // no interface to find, box to weigh or cursor to move, and the
            // same draw as the clipped path below makes for such a cube.
            const double r = d / 5000.0;
            if (r <= pt.z - layer_low && r <= layer_high - pt.z) {
                const Cube c(pt, r);
                pt = guide ? HomogeneousPoint(c, found) : HomogeneousPoint(c);
                continue;
            }
        }
        intf = CheckInterface(layers, pt, layer_low, layer_high, diel_low, diel_up);
        if (m.stack_boxes && StackBoxHop(*m.stack_boxes, pt, d / 5000.0, intf, layer_low, layer_high))
            continue;
        if (intf != 0) {
            cube = Cube(pt, d / 5000.0);
            double r = HalfRadius(layers, intf, cube.radius, layer_low, layer_high);
            layers.UpdateHalfPSum(diel_low, diel_up);
            bool upper = true;
            spt = GetPointInHalf(layers, upper, diel_low, diel_up, cube, r);
            pt = StructToVector3(spt, cube);
            if ((upper && intf == 1) || (!upper && intf == -1)) {
                if (intf == 1)
                    layers.MoveUp();
                else
                    layers.MoveDown();
                layers.GetNearby(layer_low, layer_high);
                FATAL_CHECK(layer_low < pt.Z() + MIE);
                FATAL_CHECK(layer_high > pt.Z() - MIE);
            }
            LayerFixup(layers, pt.z, layer_low, layer_high);
        } else {
            LayerFixup(layers, pt.z, layer_low, layer_high);
            cube = Cube(pt, d / 5000.0);
            const int code = ::ClipTransDomain(layers, cube, layer_low, layer_high, false);
            if (code == 0) {
                pt = guide ? HomogeneousPoint(cube, found) : HomogeneousPoint(cube);
            } else {
                pt = CutPoint(code, cube, layer_low, layer_high);
            }
            LayerFixup(layers, pt.z, layer_low, layer_high);
        }
    }
}

Randomwalk::WalkEnd Randomwalk::Walk()
{
    WalkEnd e;
    e.hops = 0;
    e.slot = Walk(*shared, (int)shared->cap->size(), e.weight, e.id_gss, e.strata, e.hops);
    e.carry = carry;
    if (shared->floating)
        FoldPotentials(e.slot, potentials);
    return e;
}

int Randomwalk::RandomwalkCore()
{
    WalkShared& m = *shared;
    const int n = (int)m.cap->size();
    MasterCheck check;
    // Counted in a local: the field sits in this worker's object, which may
    // share a cache line with the next worker's layer cursor.
    long long hops = 0;
    // The status line falls due with the count a walk leaves; it is shown
    // then, under the lock the count is taken with, rather than by the next
    // walk's start under a lock of its own.
    LockRun(&m.mutex);
    if (m.walk_count % STATUS_PERIOD == 0)
        m.ShowStatus();
    pthread_mutex_unlock(&m.mutex);
    struct Done {
        int slot, id_gss, strata;
        double weight, carry;
    } done[MAX_BATCH];
    const int batch = m.walk_batch;
    for (;;) {
        for (int k = 0; k < batch; ++k) {
            done[k].id_gss = done[k].strata = -1;
            done[k].slot = Walk(m, n, done[k].weight, done[k].id_gss, done[k].strata, hops);
            done[k].carry = carry;
            if (m.floating)
                FoldPotentials(done[k].slot, potentials);
        }

        bool ended = false;
        LockRun(&m.mutex);
        if (m.stop) {
            hop_count = hops;
            m.total_hops += hops;
            pthread_mutex_unlock(&m.mutex);
            break;
        }
        // Walk by walk as if each had taken the lock itself; a walk after
        // the one that ends the run is not counted.
        for (int k = 0; k < batch && !ended; ++k) {
            const int slot = done[k].slot, id_gss = done[k].id_gss, strata = done[k].strata;
            // The stratum follows the master's first hop; the credit also
            // carries what the floating conductors on the way multiplied.
            const double weight = done[k].weight, credit = weight * done[k].carry;
            if (weight_select == 3) {
                // A half first hop has no stratum; it is counted but adds to no sum.
                if (strata >= 0) {
                    const double p = st->div_portion[strata] / 5766.0;
                    m.ss_sum[strata][slot] += credit * p;
                    m.ss_sum2[strata][slot] += p * p * credit * credit;
                    (*m.ss_count)[strata] += 1;
                }
            } else if (weight_select == 4) {
                const int j = weight >= 0 ? id_gss : id_gss + 6;
                const double hw = 0.5 * credit;
                m.is_sum[j][slot] += hw;
                m.is_sum2[j][slot] += hw * hw;
                (*m.is_count)[j] += 1;
            } else {
                (*m.cap)[slot] += credit;
                (*m.cap2)[slot] += credit * credit;
            }
            const long long N = ++m.walk_count;
            if (id == 0 && N > check.last + CHECK_PERIOD) {
                ended = CheckConvergence(N, check.last);
            } else if (id != 0 && m.max_walks > 0 && N - 1 >= m.max_walks) {
                // Whichever worker reaches the walk budget ends the run: a worker 0
                // that the system keeps waiting must not let the others run past it.
                m.stop = true;
                ended = true;
            }
            if (ended) {
                hop_count = hops;
                m.total_hops += hops;
            } else if (N % STATUS_PERIOD == 0) {
                m.ShowStatus();
            }
        }
        pthread_mutex_unlock(&m.mutex);
        if (ended) {
            Log::output("\n");
            break;
        }
    }
    if (m.floating && m.potentials) {
        LockRun(&m.mutex);
        m.potentials->Merge(potentials);
        pthread_mutex_unlock(&m.mutex);
    }
    return 0;
}

// Worker 0's stopping rule, run with the lock held right after one of its
// own walks was counted as walk N. Returns whether the run stops.
bool Randomwalk::CheckConvergence(long long N, long long& last_check)
{
    WalkShared& m = *shared;
    // Walk N was counted, so a stratum has walks and the estimate is a number.
    double mean0, err0;
    if (weight_select == 4) {
        StratifiedEstimate(m.is_sum, m.is_sum2, m.is_count->data(), m.face_share, 12, 0, mean0, err0);
    } else if (weight_select == 3) {
        StratifiedEstimate(m.ss_sum, m.ss_sum2, m.ss_count->data(), nullptr, 17, 0, mean0, err0);
    } else {
        mean0 = (*m.cap)[0] / N;
        err0 = std::sqrt(((*m.cap2)[0] / N - mean0 * mean0) / N);
    }
    m.master_estimate = mean0 * EPS0;
    m.history.Record(N, err0 / std::fabs(mean0), m.master_estimate);
    (*m.err)[0] = err0;
    StopRule rule;
    rule.mode = m.end_mode;
    rule.target_walks = m.target_walks;
    rule.target_error = m.target_err;
    // N counts from 1, and a budget counts the walks before it.
    rule.max_walks = m.max_walks > 0 ? m.max_walks + 1 : 0;
    rule.time_limit = m.time_limit;
    rule.coupling_error = m.coupling_error;
    rule.coupling_min = m.coupling_min;
    const double elapsed = m.time_limit > 0 ? m.RunSeconds() : 0.0;
    bool stop = rule.Stop(N, mean0, err0, elapsed, m.converged_checks, m.converged);
    if (m.converged && rule.coupling_error > 0 &&
        !rule.CouplingsMet((int)m.cap->size(), mean0, [&](int s, double& mean, double& err) {
            if (weight_select == 4) {
                StratifiedEstimate(m.is_sum, m.is_sum2, m.is_count->data(), m.face_share, 12, s, mean, err);
            } else if (weight_select == 3) {
                StratifiedEstimate(m.ss_sum, m.ss_sum2, m.ss_count->data(), nullptr, 17, s, mean, err);
            } else {
                mean = (*m.cap)[s] / N;
                err = std::sqrt(std::max(0.0, (*m.cap2)[s] / N - mean * mean) / N);
            }
        })) {
        m.converged = false;
        stop = rule.Budget(N, elapsed);
    }
    if (stop) {
        m.stop = true;
        return true;
    }
    m.rel_err = std::fabs(err0 / mean0);
    last_check = N;
    return false;
}

void Randomwalk::RunChunk(long long k, long long walks, ChunkSums& out)
{
    WalkShared& m = *shared;
    const int n = (int)m.cap->size();
    const ChunkSeeds seeds = SeedsOfChunk(m.run_seed, m.master_key, k);
    rand_walk = CRandomMersenne(seeds.walk);
    rand_gauss = CRandomMersenne(seeds.gauss);
    if (m.floating && out.potentials.tally.size() != m.floating->names.size())
        out.potentials.Size((int)m.floating->names.size());  // a caller's own buffer, once
    out.Begin(k, n);
    pool = nullptr;
    if (m.floating && m.floating->AllShells()) {
        if (own_pool.seen.size() != m.floating->names.size())
            own_pool.Size((int)m.floating->names.size(), CHUNK_WALKS);  // once a worker
        pool = &own_pool;
    }
    long long hops = 0;
    for (long long i = 0; i < walks; i++) {
        int id_gss = -1, strata = -1;
        pool_hit = -1;
        // The weight lives in the worker while the walk runs, so that an
        // absorption can weigh whether the walk goes on (ContinuationPool).
        const int slot = Walk(m, n, pool_weight, id_gss, strata, hops);
        const double weight = pool_weight;
        const int stratum = weight >= 0 ? id_gss : id_gss + 6;
        if (pool_hit >= 0) {
            pool->hits.push_back({pool_hit, stratum, 0.5 * weight});
            out.count[stratum] += 1;
            if (m.floating->of_slot[slot] < 0)
                pool->ends.push_back({pool_hit, slot});
            for (int j = 0; j < met_n; ++j) {
                out.potentials.Add(met[j], slot == 0 ? 1.0 : 0.0, 1.0);
                met_count[met[j]] = 0;
            }
            met_n = 0;
            continue;
        }
        out.Add(stratum, slot, 0.5 * weight * carry);
        if (m.floating)
            FoldPotentials(slot, out.potentials);
    }
    if (pool)
        pool->Fold(out, m.face_share);
    pool = nullptr;
    out.walks = walks;
    out.hops = hops;
    hop_count += hops;
}

int Randomwalk::ChunkCore()
{
    WalkShared& m = *shared;
    for (;;) {
        LockRun(&m.mutex);
        const long long k = m.TakeChunk();
        pthread_mutex_unlock(&m.mutex);
        if (k < 0)
            break;
        RunChunk(k, m.merger->WalksOfChunk(k), *chunk);
        LockRun(&m.mutex);
        chunk = m.DeliverChunk(chunk);
        pthread_mutex_unlock(&m.mutex);
    }
    return 0;
}
