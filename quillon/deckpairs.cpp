#include "deckpairs.h"

#include <cstdio>

#include "dielbodies.h"
#include "layers.h"
#include "parser.h"

std::vector<DielPair> StackPairs(const std::vector<Layer>& layers)
{
    std::vector<DielPair> pairs;
    for (size_t i = 0; i + 1 < layers.size(); ++i) {
        DielPair p{layers[i].diel, layers[i + 1].diel};
        if (p.dlow == p.dhigh) continue;
        // A face no medium rests on keeps the "unset" permittivity; Korva
        // stops on it before any table is read, so there is nothing to tabulate.
        if (!(p.dlow > 0) || !(p.dhigh > 0)) {
            std::fprintf(stderr, "quillon: layer face %zu has no permittivity, skipped\n", i);
            continue;
        }
        bool seen = false;
        for (const DielPair& q : pairs) seen = seen || (q.dlow == p.dlow && q.dhigh == p.dhigh);
        if (!seen) pairs.push_back(p);
    }
    return pairs;
}

bool PairsFromDeck(const char* path, std::vector<DielPair>& pairs)
{
    pairs.clear();
    DeckLists lists;
    if (LoadDeck(path, lists) != 0) return false;
    if (!lists.media.empty()) {
        TableSet tables;
        Layers stack(tables, lists.bands);
        pairs = StackPairs(tables.layers);
        // The faces of dielectric bodies meet pairs of their own.
        DielBodies bodies;
        bodies.Build(std::vector<const Medium*>(lists.bodies.begin(), lists.bodies.end()), tables.layers);
        for (const auto& b : bodies.Pairs()) {
            bool seen = false;
            for (const DielPair& q : pairs) seen = seen || (q.dlow == b.first && q.dhigh == b.second);
            if (!seen) pairs.push_back(DielPair{b.first, b.second});
        }
    }
    return true;
}
