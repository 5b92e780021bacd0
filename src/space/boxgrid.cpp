#include "boxgrid.h"

#include <algorithm>
#include <cmath>

BoxGrid::BoxGrid(const std::vector<const Cuboid*>& boxes, double per_bucket) : boxes_(boxes)
{
    seen_.assign(boxes.size(), 0);
    if (boxes.empty())
        return;
    bound_ = BoundingBox(boxes);
    const double wx = bound_.x1 - bound_.x0, wy = bound_.y1 - bound_.y0;
    const double buckets = std::max(1.0, (double)boxes.size() / per_bucket);
    cell_ = std::sqrt(std::max(wx * wy, 1e-300) / buckets);
    if (!(cell_ > 0) || !std::isfinite(cell_))
        cell_ = std::max(std::max(wx, wy), 1.0);
    // A flat or thin layout still gets no more buckets than blocks.
    nx_ = (int)std::min(std::max(1.0, std::ceil(wx / cell_)), buckets);
    ny_ = (int)std::min(std::max(1.0, std::ceil(wy / cell_)), std::max(1.0, buckets / nx_));
    cell_ = std::max(wx / nx_, wy / ny_);
    if (!(cell_ > 0))
        cell_ = 1.0;
    std::vector<uint32_t> count((size_t)nx_ * ny_ + 1, 0);
    int i0, i1, j0, j1;
    for (const Cuboid* c : boxes) {
        Span(*c, i0, i1, j0, j1);
        for (int j = j0; j <= j1; j++)
            for (int i = i0; i <= i1; i++)
                count[(size_t)j * nx_ + i + 1]++;
    }
    for (size_t b = 1; b < count.size(); b++)
        count[b] += count[b - 1];
    start_ = count;
    items_.resize(count.back());
    for (size_t k = 0; k < boxes.size(); k++) {
        Span(*boxes[k], i0, i1, j0, j1);
        for (int j = j0; j <= j1; j++)
            for (int i = i0; i <= i1; i++)
                items_[count[(size_t)j * nx_ + i]++] = (uint32_t)k;
    }
}

void BoxGrid::Span(const Cuboid& r, int& i0, int& i1, int& j0, int& j1) const
{
    auto at = [this](double v, double lo, int n) {
        const double f = std::floor((v - lo) / cell_);
        return (int)std::max(0.0, std::min((double)(n - 1), f));
    };
    i0 = at(r.x0, bound_.x0, nx_);
    i1 = at(r.x1, bound_.x0, nx_);
    j0 = at(r.y0, bound_.y0, ny_);
    j1 = at(r.y1, bound_.y0, ny_);
}

bool BoxGrid::Covers(const Cuboid& r) const
{
    return r.x0 <= bound_.x0 && r.y0 <= bound_.y0 && r.z0 <= bound_.z0 && r.x1 >= bound_.x1 &&
           r.y1 >= bound_.y1 && r.z1 >= bound_.z1;
}

void BoxGrid::Near(const Cuboid& r, std::vector<size_t>& out) const
{
    out.clear();
    if (boxes_.empty() || r.x1 < bound_.x0 || r.x0 > bound_.x1 || r.y1 < bound_.y0 || r.y0 > bound_.y1)
        return;
    if (++query_ == 0) {  // the stamps wrapped: none may look seen
        std::fill(seen_.begin(), seen_.end(), 0);
        query_ = 1;
    }
    int i0, i1, j0, j1;
    Span(r, i0, i1, j0, j1);
    for (int j = j0; j <= j1; j++)
        for (int i = i0; i <= i1; i++) {
            const size_t b = (size_t)j * nx_ + i;
            for (uint32_t s = start_[b]; s < start_[b + 1]; s++) {
                const uint32_t k = items_[s];
                if (seen_[k] == query_)
                    continue;
                seen_[k] = query_;
                const Cuboid& c = *boxes_[k];
                if (c.x0 <= r.x1 && r.x0 <= c.x1 && c.y0 <= r.y1 && r.y0 <= c.y1 && c.z0 <= r.z1 && r.z0 <= c.z1)
                    out.push_back(k);
            }
        }
    std::sort(out.begin(), out.end());
}
