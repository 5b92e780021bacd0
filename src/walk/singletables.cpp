static const char KORVA_SOURCE[] = "src/singletables";

#include "singletables.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "datapaths.h"
#include "digest.h"
#include "log.h"
#include "randomwalk.h"
#include "tablecheck.h"

// Table directories below the data folder: the working directory when it
// holds incdata/, as in a checkout, else where korva is installed.
static const char IS_FIELD_PATH[] = "/incdata/IS/binary/single";
static const char CM_FIELD_PATH[] = "/incdata/Common/binary/single";

static const int SEGNUM = 31;
static const int FACE_PANELS = SEGNUM * SEGNUM;  // 961
static const int CUBE_PANELS = 6 * FACE_PANELS;  // 5766

// ---------------------------------------------------------------------------
// Single-medium tables

uint64_t ReadAllContent(const char* path, double* buf, int size, bool check)
{
    FILE* fp = fopen(path, "rb");
    if (!fp) {
        throw InputError{Log::format("cannot open file %s\n", path)};
    }
    struct stat st;
    if (check && (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode))) {
        fclose(fp);
        TableCheck::Reject(path, "not a regular file");
    }
    size_t rs = fread(buf, sizeof(double), (size_t)size, fp);
    fclose(fp);
    if (check && (int)rs != size)
        TableCheck::Reject(path, "holds " + std::to_string(rs) + " of its " + std::to_string(size) +
                                     " values");
    FATAL_CHECK((int)rs == size);
    return DigestWords(buf, (size_t)size);
}

// Reads a single-medium file and, when the checks are on, refuses damage.
static void ReadSingle(TableLedger& ledger, const std::string& path, double* buf, int size,
                       TableCheck::Single kind, int weight_select, uint64_t& digest)
{
    digest += ReadAllContent(path.c_str(), buf, size, ledger.enabled);
    if (!ledger.enabled)
        return;
    std::string problem = TableCheck::SingleProblem(ledger, kind, path, buf, size, weight_select);
    if (!problem.empty())
        TableCheck::Reject(path, problem);
}

bool SingleTables::LoadData(int weight_select, TableLedger& ledger)
{
    const char* dir = nullptr;
    switch (weight_select) {
    case 0:
    case 1:
    case 3: dir = CM_FIELD_PATH; break;
    case 2:
    case 4:
    case 5: dir = IS_FIELD_PATH; break;
    default: FATAL_CHECK(false);
    }
    const bool common = dir == CM_FIELD_PATH;
    const std::string base = SingleTableRoot() + dir;
    Log::pinfo("loading %s, segment number is %d\n", base.c_str(), SEGNUM);
    const std::string seg = std::to_string(SEGNUM);

    std::vector<double> gft(CUBE_PANELS);
    using TableCheck::Single;
    ReadSingle(ledger, base + "/GFT_single_" + seg + ".db", gft.data(), CUBE_PANELS, Single::PROB, weight_select,
               digest);
    LoadPrmat(gft.data(), CUBE_PANELS);

    std::vector<double> weights(3 * CUBE_PANELS);
    if (common) {
        ReadSingle(ledger, base + "/single_weight_" + seg + ".db", weights.data(), 3 * CUBE_PANELS,
                   Single::COMMON_WEIGHT, weight_select, digest);
    } else {
        ReadSingle(ledger, base + "/single_weight_" + seg + ".db", single_weight, 3, Single::IS_WEIGHT,
                   weight_select, digest);
        ReadSingle(ledger, base + "/pdf_single_weight_" + seg + ".db", weights.data(), 3 * CUBE_PANELS,
                   Single::IS_DENSITY, weight_select, digest);
    }
    RegisterSingleWeight(weights.data(), gft.data(), 3, 6, SEGNUM, weight_select);
    return true;
}

int SingleTables::LoadPrmat(double* data, int size)
{
    const int n = size / 6;
    // One running sum over the whole surface, so that a single uniform draw
    // picks both the face and the panel.
    double acc = data[0];
    partial_sum_arr[0].push_back(acc);
    for (int f = 0; f < 6; f++) {
        partial_sum_arr[f].reserve(n);
        for (int i = std::max(1, f * n); i < (f + 1) * n; i++) {
            acc += data[i];
            partial_sum_arr[f].push_back(acc);
        }
        partial_face_sum_arr[f] = acc;
    }
    FATAL_CHECK_TEXT(std::fabs(partial_face_sum_arr[5] - 1.0) < 0.000001,
                     "abs(partial_face_sum_arr[5]-1.0)<0.000001");
    FATAL_CHECK((int)(6*partial_sum_arr[5].size()) == size);
    surface_guide.Build(partial_face_sum_arr, partial_sum_arr, n);
    return 0;
}

void SingleTables::RegisterSingleWeight(double* weights, double* gft, int drc_num, int face_num,
                                      int segnum, int weight_select)
{
    if (weight_select < 0 || weight_select > 4) {
        Log::perror("Wrong -w parameter");
        FATAL_CHECK(false);
    }
    const int n = segnum * segnum;
    for (int drc = 0; drc < drc_num; drc++) {
        double acc = 0.0;
        for (int fno = 0; fno < face_num; fno++) {
            std::vector<double>& out = cdf_single_weight[drc][fno];
            out.reserve(n);
            for (int k = 0; k < n; k++) {
                const double w = weights[drc * face_num * n + fno * n + k];
                switch (weight_select) {
                case 0: out.push_back(w / gft[fno * n + k]); break;
                case 1:
                case 3: out.push_back(w); break;
                default:
                    acc += w;
                    out.push_back(acc);
                    break;
                }
            }
            if (weight_select == 2 || weight_select == 4) {
                cdf_face_single_weight[drc][fno] = acc;
                if (fno == face_num - 1)
                    FATAL_CHECK_TEXT(std::fabs(cdf_face_single_weight[drc][fno] - 1) < 0.00001,
                                     "abs(cdf_face_single_weight[drc][fno] - 1) < 0.00001");
            }
        }
        if ((weight_select == 2 || weight_select == 4) && face_num == 6)
            weight_guide[drc].Build(cdf_face_single_weight[drc], cdf_single_weight[drc], n);
    }
}

void SingleTables::Reset()
{
    for (int f = 0; f < 6; f++) {
        partial_sum_arr[f].clear();
        partial_face_sum_arr[f] = 0.0;
        for (int d = 0; d < 3; d++) {
            cdf_single_weight[d][f].clear();
            cdf_face_single_weight[d][f] = 0.0;
        }
    }
    for (int d = 0; d < 3; d++)
        single_weight[d] = 0.0;
    strata_array.assign(7, 0);
    div_portion.assign(17, 0);
    surface_guide.Clear();
    for (int d = 0; d < 3; d++)
        weight_guide[d].Clear();
}

// ---------------------------------------------------------------------------
// Strata of the first transition cube

void SingleTables::DivSS()
{
    static const int radii[7] = {3, 5, 7, 9, 11, 13, 15};
    strata_array.assign(radii, radii + 7);
    div_portion.assign(17, 0);
    div_portion[0] = div_portion[7] = 49;
    for (int s = 1; s < 7; s++) {
        const int a = strata_array[s], b = strata_array[s - 1];
        div_portion[s] = div_portion[s + 7] = 4 * (a - b) * (a + b + 1);
    }
    div_portion[14] = 1860;
    div_portion[15] = 124;
    div_portion[16] = 1860;
}
