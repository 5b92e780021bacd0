#include "drawings.h"

#include "extraction.h"
#include "layers.h"
#include "spacemanager.h"

#include <algorithm>

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

void SetGauss(DeckView& s, const std::vector<Cuboid>& boxes)
{
    if (boxes.empty())
        return;
    s.gauss_boxes = boxes;
    s.gauss = boxes[0];
    for (const Cuboid& b : boxes) {
        s.gauss.x0 = std::min(s.gauss.x0, b.x0);
        s.gauss.y0 = std::min(s.gauss.y0, b.y0);
        s.gauss.z0 = std::min(s.gauss.z0, b.z0);
        s.gauss.x1 = std::max(s.gauss.x1, b.x1);
        s.gauss.y1 = std::max(s.gauss.y1, b.y1);
        s.gauss.z1 = std::max(s.gauss.z1, b.z1);
    }
    s.has_gauss = true;
}

}  // namespace

DeckView SceneOfRun(const std::vector<Cuboid>& gauss_boxes, const std::vector<Layer>& faces,
                    const DeckLists& lists, const Cuboid& window)
{
    DeckView s = Common(lists, window);
    s.layers = StackLayers(faces);
    SetGauss(s, gauss_boxes);
    return s;
}

DeckView SceneOfDeck(const DeckLists& lists, const Cuboid& window)
{
    DeckView s = Common(lists, window);
    if (lists.cuboids.empty())
        return s;
    std::vector<Layer> faces;
    std::vector<Cuboid> boxes;
    Extraction::PlannedGaussianSurface(lists, s.enlarged, faces, &boxes);
    s.layers = StackLayers(faces);
    SetGauss(s, boxes);
    return s;
}
