#include "drawings.h"

#include "extraction.h"
#include "layers.h"
#include "spacemanager.h"

namespace {

std::vector<SceneLayer> StackLayers(const std::vector<Layer>& st)
{
    // Entry i is the upper face of the slab that starts at entry i - 1;
    // entry 0 only closes the stack from below.
    std::vector<SceneLayer> out;
    for (size_t i = 1; i < st.size(); i++)
        out.push_back(SceneLayer{st[i - 1].pos, st[i].pos, st[i].diel});
    return out;
}

DeckView Common(const DeckLists& lists, const Cuboid& window)
{
    DeckView s;
    s.names = lists.names;
    s.blocks.reserve(lists.cuboids.size());
    for (const Cuboid* c : lists.cuboids)
        s.blocks.push_back(*c);
    for (const Medium* m : lists.bodies)
        s.bodies.push_back(SceneBodyBox{*m->block, m->diel});
    s.window = window;
    s.enlarged = window;
    Spacemanager::EnlargeWindow(lists.cuboids, s.enlarged);
    return s;
}

}  // namespace

DeckView SceneOfRun(const Cuboid& gauss, const std::vector<Layer>& faces, const DeckLists& lists,
                    const Cuboid& window)
{
    DeckView s = Common(lists, window);
    s.layers = StackLayers(faces);
    s.gauss = gauss;
    s.has_gauss = true;
    return s;
}

DeckView SceneOfDeck(const DeckLists& lists, const Cuboid& window)
{
    DeckView s = Common(lists, window);
    if (lists.cuboids.empty())
        return s;
    std::vector<Layer> faces;
    s.gauss = Extraction::PlannedGaussianSurface(lists, s.enlarged, faces);
    s.layers = StackLayers(faces);
    s.has_gauss = true;
    return s;
}
