#include "per_length.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

bool CutForPerLength(Scene& scene, const std::vector<size_t>& wires, PerLengthPlan& plan, std::string& error)
{
    plan = PerLengthPlan();
    const SceneConductor* master = nullptr;
    for (size_t i : wires) {
        if (scene.conductors[i].boxes.size() != 1) {
            error = "wire " + scene.conductors[i].name + " is not one box";
            return false;
        }
        if (scene.conductors[i].name == scene.master)
            master = &scene.conductors[i];
    }
    if (!master) {
        error = "the master is not one of the wires";
        return false;
    }
    const Cuboid m = master->boxes[0];
    const double end = 0.25 * (m.y1 - m.y0);
    const double slit = 0.05 * std::min(m.x1 - m.x0, m.z1 - m.z0);
    // Each end piece must keep a length the walks' grid resolves, after the
    // slit is taken from it.
    if (end - slit < GRID_RESOLVED) {
        char buf[400];
        snprintf(buf, sizeof buf,
                 "the master wire %s is %g um long: cut a quarter of its length (%g um) from each end, with a "
                 "slit of %g um before its middle, leaves end pieces of %.3g um, and the walks' grid resolves "
                 "%g um: the cut needs a wire of %g um or more",
                 scene.master.c_str(), m.y1 - m.y0, end, slit, std::fabs(end - slit) < 1e-9 ? 0.0 : end - slit,
                 GRID_RESOLVED, 4 * (slit + GRID_RESOLVED));
        error = buf;
        return false;
    }
    const double cut0 = m.y0 + end, cut1 = m.y1 - end;
    plan.master = scene.master;
    plan.middle = cut1 - cut0;

    std::vector<bool> is_wire(scene.conductors.size(), false);
    for (size_t i : wires)
        is_wire[i] = true;
    std::vector<SceneConductor> out;
    for (size_t i = 0; i < scene.conductors.size(); ++i) {
        const SceneConductor& c = scene.conductors[i];
        if (!is_wire[i]) {
            out.push_back(c);
            plan.groups.push_back({c.name, {c.name}});
            continue;
        }
        const Cuboid b = c.boxes[0];
        const bool is_master = c.name == scene.master;
        const double gap = is_master ? slit : 0.0;
        // A wire that does not reach a resolvable length past both cuts is
        // left whole: nothing to fold.
        if (!is_master && !(b.y0 <= cut0 - GRID_RESOLVED && cut1 + GRID_RESOLVED <= b.y1)) {
            out.push_back(c);
            plan.groups.push_back({c.name, {c.name}});
            continue;
        }
        Cuboid lo = b, mid = b, hi = b;
        lo.y1 = cut0 - gap;
        mid.y0 = cut0;
        mid.y1 = cut1;
        hi.y0 = cut1 + gap;
        const std::string e1 = c.name + "_end1", e2 = c.name + "_end2";
        out.push_back({c.name, {mid}});
        out.push_back({e1, {lo}});
        out.push_back({e2, {hi}});
        if (is_master)
            plan.master_ends = {e1, e2};
        else
            plan.groups.push_back({c.name, {c.name, e1, e2}});
    }
    scene.conductors = out;
    char note[200];
    snprintf(note, sizeof note, "per length: wires cut at y = %g and %g um; the master's middle is %g um long", cut0,
             cut1, plan.middle);
    scene.notes.push_back(note);
    return true;
}

CapRow FoldPerLength(const CapRow& raw, const PerLengthPlan& plan)
{
    std::map<std::string, size_t> at;
    for (size_t i = 0; i < raw.names.size(); ++i)
        at[raw.names[i]] = i;
    auto sum = [&](const std::vector<std::string>& names, double& v, double& e2) {
        for (const std::string& n : names) {
            auto it = at.find(n);
            if (it == at.end())
                continue;
            v += raw.value[it->second];
            e2 += raw.error[it->second] * raw.error[it->second];
        }
    };
    CapRow row;
    std::vector<std::string> master = plan.master_ends;
    master.insert(master.begin(), plan.master);
    std::vector<std::pair<std::string, std::vector<std::string>>> groups = plan.groups;
    groups.insert(groups.begin(), {plan.master, master});
    for (const auto& g : groups) {
        double v = 0, e2 = 0;
        sum(g.second, v, e2);
        row.names.push_back(g.first);
        row.value.push_back(v / plan.middle);
        row.error.push_back(std::sqrt(e2) / plan.middle);
    }
    return row;
}

std::string PatternResultText(const std::string& pattern, const CapRow& row,
                              const std::vector<std::string>& wires, bool per_length)
{
    const char* unit = per_length ? "F/um" : "F";
    char buf[512];
    std::string text = "PATTERN " + (pattern.empty() ? std::string("-") : pattern) + "\n";
    text += "MASTER " + row.names[0] + "\nUNIT " + unit + "\n";
    snprintf(buf, sizeof buf, "TOTAL %.6e %.2e\n", std::fabs(row.value[0]), row.error[0]);
    text += buf;
    double couplings = 0, e2 = row.error[0] * row.error[0];
    for (size_t i = 1; i < row.names.size(); ++i) {
        if (std::find(wires.begin(), wires.end(), row.names[i]) == wires.end())
            continue;
        snprintf(buf, sizeof buf, "COUPLING %s %.6e %.2e\n", row.names[i].c_str(), std::fabs(row.value[i]),
                 row.error[i]);
        text += buf;
        couplings += std::fabs(row.value[i]);
        e2 += row.error[i] * row.error[i];
    }
    snprintf(buf, sizeof buf, "FRINGE %.6e %.2e\n", std::fabs(row.value[0]) - couplings, std::sqrt(e2));
    text += buf;
    return text;
}
