#include "tablecache.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <vector>

#include "datapaths.h"
#include "deckpairs.h"
#include "layers.h"
#include "log.h"
#include "tablefiles.h"

namespace {

// One table file of a pair and the packet it is registered with.
struct PairFile {
    const char* folder;
    const char* prefix;
    const PSumPacket* packet;
};

// In the order the registered folder is scanned, so that a common weight
// file finds the transition table of its pair already registered.
const PairFile IS_FILES[] = {
    {"IS/binary/MULTI/WVT", "NumWVT_", &Layers::wei},
    {"IS/binary/MULTI/GFT", "NumGFT_IS_", &Layers::pdf},
    {"IS/binary/MULTI/GFT", "NumGFT_", &Layers::trans},
    {"IS/binary/MULTI/GFT", "hNumGFT_", &Layers::htrans},
    {"IS/binary/MULTI/WVT", "hNumWVT_", &Layers::hwei},
    {"IS/binary/MULTI/GFT", "hNumGFT_IS_", &Layers::hpdf},
};
const PairFile COMMON_FILES[] = {
    {"COMMON/binary/MULTI/GFT", "NumGFT_", &Layers::trans},
    {"COMMON/binary/MULTI/GFT", "hNumGFT_", &Layers::htrans},
    {"COMMON/binary/MULTI/WVT", "NumWVT_", &Layers::pdf},
    {"COMMON/binary/MULTI/WVT", "hNumWVT_", &Layers::hwei},
};

bool Importance(int weight_select)
{
    return weight_select == 2 || weight_select == 4;
}

// The tables a walk reads for an interface, whatever the start point.
bool PairLoaded(const TableSet& t, const DielPair& p, int weight_select)
{
    const DielKey key = Layers::DielHash(p.dlow, p.dhigh);
    bool loaded = t.psums.count(key) && t.half_psums.count(key) && t.cdf_weights.count(key);
    return loaded && (!Importance(weight_select) || t.weight_array.count(key));
}

bool HasPairFiles(const std::string& dir, const DielPair& p)
{
    for (const std::string& name : PairFileNames(p)) {
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
    }
    return true;
}

void LoadPairFiles(TableSet& t, const std::string& dir, const DielPair& p, int weight_select)
{
    const std::string tag = PairTag(p) + ".db";
    auto load = [&](const PairFile& f) {
        t.SLoadFile((dir + "/" + f.folder + "/" + f.prefix + tag).c_str(), *f.packet);
    };
    if (Importance(weight_select))
        for (const PairFile& f : IS_FILES)
            load(f);
    else
        for (const PairFile& f : COMMON_FILES)
            load(f);
}

[[noreturn]] void Unavailable(const DielPair& p, const std::string& dir, const char* why)
{
    const std::string lo = ShortDouble(p.dlow), hi = ShortDouble(p.dhigh);
    throw InputError{Log::format("Cannot get the multi-dielectric tables of the permittivity pair %s / %s "
                "(below / above an interface of the stack): %s %s.\n"
                "Make that folder writable, or set XDG_CACHE_HOME to a writable folder, or "
                "generate the pair with \"quillon multi DIR %s:%s\" and register DIR with "
                "\"korva --gft DIR\".\n",
                lo.c_str(), hi.c_str(), dir.empty() ? "no table cache folder" : dir.c_str(), why,
                lo.c_str(), hi.c_str())};
}

// Files can be made in every folder a pair's tables go to; a registered
// tree may hold folders of another owner below a writable top.
bool TreeWritable(const std::string& dir)
{
    for (const std::string& name : PairFileNames(DielPair{1.0, 2.0}))
        if (!Writable(dir + "/" + name.substr(0, name.rfind('/'))))
            return false;
    return true;
}

double Seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// Every file is written under a temporary name and renamed into place, so a
// reader, or another korva generating the same pair, only sees whole files.
void Generate(const std::string& dir, const DielPair& p)
{
    if (dir.empty())
        Unavailable(p, dir, "is known (neither XDG_CACHE_HOME nor HOME is set)");
    if (!TreeWritable(dir))
        Unavailable(p, dir, "is not writable");
    const double t0 = Seconds();
    if (WritePairTables(dir, SolvePair(p)) < 0)
        Unavailable(p, dir, "could not take the table files (see the message above)");
    Log::output("Generated the tables of permittivity pair %s / %s into %s in %.2f s\n",
                ShortDouble(p.dlow).c_str(), ShortDouble(p.dhigh).c_str(), dir.c_str(),
                Seconds() - t0);
}

// Where the tables of missing pairs go.
std::string GeneratedTableFolder(const std::string& registered)
{
    return !registered.empty() && TreeWritable(registered) ? registered : CacheFolder();
}

}  // namespace

std::string RegisteredTableFolder()
{
    std::string file = FindRegistration();
    return file.empty() ? "" : ReadRegistration(file);
}

void LoadMissingPairs(TableSet& t, const std::string& registered, int weight_select)
{
    std::vector<DielPair> missing;
    std::vector<DielPair> pairs = StackPairs(t.layers);
    for (const DielKey& k : t.extra_pairs) {
        bool seen = false;
        for (const DielPair& q : pairs)
            seen = seen || (q.dlow == k.low && q.dhigh == k.high);
        if (!seen)
            pairs.push_back(DielPair{k.low, k.high});
    }
    for (const DielPair& p : pairs)
        if (!PairLoaded(t, p, weight_select))
            missing.push_back(p);
    if (missing.empty())
        return;
    const std::string dir = GeneratedTableFolder(registered);
    for (const DielPair& p : missing) {
        if (!HasPairFiles(dir, p))
            Generate(dir, p);
        LoadPairFiles(t, dir, p, weight_select);
        if (!PairLoaded(t, p, weight_select))
            Unavailable(p, dir, "holds table files of this pair that cannot be loaded; remove them");
    }
}
