// The history of a run's stopping checks: walks done, the master's relative
// error and its estimate, kept in a fixed number of points so that recording
// never touches the heap while the walks run.
#pragma once

#include <cstddef>
#include <vector>

struct ConvergencePoint {
    long long walks;
    double rel_err;   // standard error over |estimate|
    double estimate;  // master capacitance, farads
};

class ConvergenceLog {
public:
    explicit ConvergenceLog(size_t capacity = 512);

    // Keeps every check until the log is full, then halves the history
    // (every other point) and records only every second check from then
    // on, so a long run stays evenly covered from start to end.
    void Record(long long walks, double rel_err, double estimate);

    // The kept points, followed by the latest check when halving skipped it.
    std::vector<ConvergencePoint> Snapshot() const;

private:
    std::vector<ConvergencePoint> points_;
    size_t capacity_;
    long long stride_ = 1;
    long long seen_ = 0;
    ConvergencePoint latest_{0, 0.0, 0.0};
};
