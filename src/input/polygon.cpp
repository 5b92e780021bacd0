#include "polygon.h"

#include <algorithm>
#include <map>
#include <utility>

bool IsManhattan(const Ring& ring)
{
    if (ring.size() < 4)
        return false;
    for (size_t i = 0; i < ring.size(); ++i) {
        const GridPoint& a = ring[i];
        const GridPoint& b = ring[(i + 1) % ring.size()];
        if ((a.x == b.x) == (a.y == b.y))
            return false;
    }
    return true;
}

std::vector<GridRect> DecomposeManhattan(const std::vector<Ring>& rings)
{
    struct Edge {
        int64_t x, ylo, yhi;
    };
    std::vector<Edge> edges;
    std::vector<int64_t> ys;
    for (const Ring& ring : rings) {
        for (size_t i = 0; i < ring.size(); ++i) {
            const GridPoint& a = ring[i];
            const GridPoint& b = ring[(i + 1) % ring.size()];
            ys.push_back(a.y);
            if (a.x == b.x && a.y != b.y)
                edges.push_back({a.x, std::min(a.y, b.y), std::max(a.y, b.y)});
        }
    }
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());

    std::vector<GridRect> done;
    std::map<std::pair<int64_t, int64_t>, size_t> open;  // run [x0, x1) -> its rectangle
    std::vector<int64_t> xs;
    for (size_t s = 0; s + 1 < ys.size(); ++s) {
        const int64_t y0 = ys[s], y1 = ys[s + 1];
        xs.clear();
        for (const Edge& e : edges)
            if (e.ylo <= y0 && e.yhi >= y1)
                xs.push_back(e.x);
        std::sort(xs.begin(), xs.end());
        // Even-odd: crossings pair up into inside runs; runs that touch merge.
        std::vector<std::pair<int64_t, int64_t>> runs;
        for (size_t i = 0; i + 1 < xs.size(); i += 2) {
            if (xs[i] == xs[i + 1])
                continue;
            if (!runs.empty() && runs.back().second == xs[i])
                runs.back().second = xs[i + 1];
            else
                runs.push_back({xs[i], xs[i + 1]});
        }
        std::map<std::pair<int64_t, int64_t>, size_t> next;
        for (const auto& run : runs) {
            auto it = open.find(run);
            if (it != open.end()) {
                done[it->second].y1 = y1;
                next[run] = it->second;
            } else {
                done.push_back({run.first, y0, run.second, y1});
                next[run] = done.size() - 1;
            }
        }
        open.swap(next);
    }
    return done;
}
