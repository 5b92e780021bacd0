#include "convergence.h"

ConvergenceLog::ConvergenceLog(size_t capacity) : capacity_(capacity < 2 ? 2 : capacity)
{
    points_.reserve(capacity_);
}

void ConvergenceLog::Record(long long walks, double rel_err, double estimate)
{
    latest_ = ConvergencePoint{walks, rel_err, estimate};
    ++seen_;
    if (seen_ % stride_ != 0)
        return;
    if (points_.size() == capacity_) {
        // Point k was check (k + 1) * stride; the odd k are the checks that
        // the doubled stride keeps.
        size_t kept = 0;
        for (size_t k = 1; k < points_.size(); k += 2)
            points_[kept++] = points_[k];
        points_.resize(kept);
        stride_ *= 2;
        if (seen_ % stride_ != 0)
            return;
    }
    points_.push_back(latest_);
}

std::vector<ConvergencePoint> ConvergenceLog::Snapshot() const
{
    std::vector<ConvergencePoint> out = points_;
    if (seen_ > 0 && (out.empty() || out.back().walks != latest_.walks))
        out.push_back(latest_);
    return out;
}
