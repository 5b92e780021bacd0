static const char KORVA_SOURCE[] = "src/leafindex";

#include "leafindex.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "log.h"

namespace {

// A large index is written once, page by page; on big pages the kernel
// takes one fault where it would take five hundred.
template <class T>
void BigPages(const std::vector<T>& v)
{
#ifdef MADV_HUGEPAGE
    const size_t big = (size_t)2 << 20;
    uintptr_t from = ((uintptr_t)v.data() + big - 1) & ~(uintptr_t)(big - 1);
    uintptr_t to = ((uintptr_t)(v.data() + v.capacity())) & ~(uintptr_t)(big - 1);
    if (to > from)
        madvise((void*)from, to - from, MADV_HUGEPAGE);
#else
    (void)v;
#endif
}

}  // namespace

void LeafIndex::Reset(const BaseCuboid<int>& root)
{
    root_ = root;
    root_.id = 0;
    cells_.assign(1, Cell{{0, 0, 0}, LEAF});
    boxes_.clear();
    blocks_.clear();
    last_first_ = last_count_ = 0;
}

uint32_t LeafIndex::Split(uint32_t cell, const BaseVector3<int>& center)
{
    FATAL_CHECK(cells_[cell].link == LEAF && cells_.size() + 8 < LEAF);
    const uint32_t first = (uint32_t)cells_.size();
    cells_.resize(cells_.size() + 8, Cell{{0, 0, 0}, LEAF});
    cells_[cell] = Cell{{center.x, center.y, center.z}, first};
    return first;
}

void LeafIndex::SetLeaf(uint32_t cell, const Cuboid* const* blocks, const BaseCuboid<int>* boxes,
                        size_t n)
{
    // Neighbouring leaves often keep the same few blocks.
    bool same = n == last_count_;
    for (size_t i = 0; same && i < n; ++i) {
        const Box& b = boxes_[last_first_ + i];
        const BaseCuboid<int>& g = boxes[i];
        same = blocks_[last_first_ + i] == blocks[i] && b.x0 == g.x0 && b.y0 == g.y0 &&
               b.z0 == g.z0 && b.x1 == g.x1 && b.y1 == g.y1 && b.z1 == g.z1;
    }
    if (same) {
        cells_[cell].at[0] = (int32_t)last_first_;
        cells_[cell].at[1] = (int32_t)n;
        return;
    }
    FATAL_CHECK(blocks_.size() + n < (size_t)INT32_MAX);
    last_first_ = (uint32_t)blocks_.size();
    last_count_ = (uint32_t)n;
    for (size_t i = 0; i < n; ++i) {
        const BaseCuboid<int>& g = boxes[i];
        boxes_.push_back(Box{g.x0, g.y0, g.z0, g.x1, g.y1, g.z1});
        blocks_.push_back(blocks[i]);
    }
    cells_[cell].at[0] = (int32_t)last_first_;
    cells_[cell].at[1] = (int32_t)n;
}

void LeafIndex::Graft(uint32_t cell, const LeafIndex& sub)
{
    FATAL_CHECK(cells_[cell].link == LEAF && !sub.cells_.empty() &&
                cells_.size() + sub.cells_.size() < LEAF &&
                blocks_.size() + sub.blocks_.size() < (size_t)INT32_MAX);
    // sub's cell i > 0 lands at base + i.
    const uint32_t base = (uint32_t)cells_.size() - 1, runs = (uint32_t)blocks_.size();
    auto moved = [&](Cell c) {
        if (c.link == LEAF)
            c.at[0] += (int32_t)runs;
        else
            c.link += base;
        return c;
    };
    cells_[cell] = moved(sub.cells_[0]);
    for (size_t i = 1; i < sub.cells_.size(); ++i)
        cells_.push_back(moved(sub.cells_[i]));
    boxes_.insert(boxes_.end(), sub.boxes_.begin(), sub.boxes_.end());
    blocks_.insert(blocks_.end(), sub.blocks_.begin(), sub.blocks_.end());
    if (!sub.blocks_.empty()) {
        last_first_ = runs + sub.last_first_;
        last_count_ = sub.last_count_;
    }
}

void LeafIndex::Reserve(size_t cells, size_t candidates)
{
    cells_.reserve(cells);
    boxes_.reserve(candidates);
    blocks_.reserve(candidates);
    BigPages(cells_);
    BigPages(boxes_);
    BigPages(blocks_);
}

size_t LeafIndex::Bytes() const
{
    return cells_.size() * sizeof(Cell) + boxes_.size() * sizeof(Box) +
           blocks_.size() * sizeof(const Cuboid*);
}

uint32_t LeafIndex::CellHolding(const BaseVector3<int>& lo, const BaseVector3<int>& hi) const
{
    const Cell* cells = cells_.data();
    uint32_t n = 0;
    while (cells[n].link != LEAF && Child(cells[n], lo) == Child(cells[n], hi))
        n = Child(cells[n], lo);
    return n;
}

void FaceStarts::Clear()
{
    for (Face& f : faces_)
        f = Face();
}

void FaceStarts::Build(const LeafIndex& index, const BaseCuboid<int>& box)
{
    Clear();
    if (index.Cells() == 0)
        return;
    static const int AXIS[6] = {2, 1, 0, 1, 0, 2};
    static const bool HIGH[6] = {false, false, true, true, false, true};
    const int32_t lo[3] = {box.x0, box.y0, box.z0}, hi[3] = {box.x1, box.y1, box.z1};
    const BaseCuboid<int>& r = index.Root();
    // LeafAt's bounds: x and z closed, y half-open.
    const int64_t rlo[3] = {r.x0, r.y0, r.z0}, rhi[3] = {r.x1, (int64_t)r.y1 - 1, r.z1};
    for (int a = 0; a < 3; ++a)
        if (lo[a] > hi[a] || lo[a] < rlo[a] || hi[a] > rhi[a])
            return;
    for (int k = 0; k < 6; ++k) {
        Face& f = faces_[k];
        f.axis = AXIS[k];
        f.u = f.axis == 0 ? 1 : 0;
        f.v = f.axis == 2 ? 1 : 2;
        f.plane = HIGH[k] ? hi[f.axis] : lo[f.axis];
        f.lo_u = lo[f.u];
        f.lo_v = lo[f.v];
        const uint64_t lu = (uint64_t)((int64_t)hi[f.u] - lo[f.u]) + 1, lv = (uint64_t)((int64_t)hi[f.v] - lo[f.v]) + 1;
        while ((((lu - 1) >> f.shift) + 1) * (((lv - 1) >> f.shift) + 1) > MAX_SQUARES)
            ++f.shift;
        f.span_u = (uint32_t)(lu - 1);
        f.span_v = (uint32_t)(lv - 1);
        f.nu = (uint32_t)(((lu - 1) >> f.shift) + 1);
        f.nv = (uint32_t)(((lv - 1) >> f.shift) + 1);
        f.cell.assign((size_t)f.nu * f.nv, 0);
        for (uint32_t iv = 0; iv < f.nv; ++iv)
            for (uint32_t iu = 0; iu < f.nu; ++iu) {
                int32_t a[3], b[3];
                a[f.axis] = b[f.axis] = f.plane;
                a[f.u] = (int32_t)(f.lo_u + ((int64_t)iu << f.shift));
                a[f.v] = (int32_t)(f.lo_v + ((int64_t)iv << f.shift));
                b[f.u] = (int32_t)std::min<int64_t>(hi[f.u], (int64_t)a[f.u] + ((int64_t)1 << f.shift) - 1);
                b[f.v] = (int32_t)std::min<int64_t>(hi[f.v], (int64_t)a[f.v] + ((int64_t)1 << f.shift) - 1);
                f.cell[(size_t)iv * f.nu + iu] = index.CellHolding(BaseVector3<int>(a[0], a[1], a[2]),
                                                                   BaseVector3<int>(b[0], b[1], b[2]));
            }
        // A face whose squares all start at the root (a root that is a leaf,
        // a face across the root's first centres) is looked up for nothing.
        if (std::all_of(f.cell.begin(), f.cell.end(), [](uint32_t c) { return c == 0; }))
            f.cell.clear();
    }
}
