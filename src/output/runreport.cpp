#include "runreport.h"

#include "textsafe.h"

#include "svgtext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

struct ReportRow {
    std::string master;
    size_t master_column = 0;
    std::vector<double> value;  // farads, one per column
    std::vector<double> error;  // standard errors, farads
};

// Farads in the engineering unit that suits `scale`.
struct Unit {
    double factor;
    const char* name;
};

Unit UnitFor(double scale)
{
    static const Unit UNITS[] = {{1e18, "aF"}, {1e15, "fF"}, {1e12, "pF"}, {1e9, "nF"}};
    for (const Unit& u : UNITS)
        if (std::fabs(scale) * u.factor < 1000)
            return u;
    return UNITS[3];
}

// What the page shows, in the form it shows it.
struct ReportPage {
    std::string title;
    std::vector<std::pair<std::string, std::string>> settings;  // shown in order
    std::string seed;
    std::vector<std::string> columns;  // conductor names, then the window
    std::vector<ReportRow> rows;       // one per master
    std::vector<ConvergencePoint> history;
    std::string picture_svg;
    Unit unit{1e15, "fF"};  // of every value the page shows, from the largest
    char end_mode = 't';
    long long target_walks = 0;
    double target_error = 0;
};

const char* const WINDOW_COLUMN = "(window)";
const size_t CHARTED_ROWS = 50;

// The settings, the seed, every extracted row in the columns of the
// conductors (byte order) and the window, and the first master's stopping
// checks.
ReportPage PageOf(const RunRecord& run)
{
    ReportPage r;
    r.title = "Korva run: " + run.deck;
    char buf[96];
    r.settings.push_back({"deck", run.deck});
    if (run.end_mode == 'p')
        snprintf(buf, sizeof buf, "relative error of the master below %g", run.target_error);
    else
        snprintf(buf, sizeof buf, "%lld walks", (long long)run.target_walks);
    r.settings.push_back({"stopping rule", buf});
    r.settings.push_back({"threads", std::to_string(run.threads)});
    r.settings.push_back({"masters", std::to_string(run.rows.size())});
    if (!run.floating.empty()) {
        std::string names;
        for (const std::string& name : run.floating)
            names += (names.empty() ? "" : ", ") + TextSafe::ValidUtf8(name);
        r.settings.push_back({"floating (charge-neutral, eliminated from every row)", names});
    }
    if (!run.version.empty())
        r.settings.push_back({"Korva version", run.version});
    long long walks = 0;
    double walk_wall = 0, walk_cpu = 0;
    for (const MasterRow& row : run.rows) {
        walks += row.walks;
        walk_wall += row.walk_seconds;
        walk_cpu += row.walk_cpu_seconds;
    }
    r.settings.push_back({"walks, all masters", std::to_string(walks)});
    snprintf(buf, sizeof buf, "%.2f s in all, %.2f s of it walking", run.seconds, walk_wall);
    r.settings.push_back({"wall time", buf});
    snprintf(buf, sizeof buf, "%.2f s of the walks, all threads", walk_cpu);
    r.settings.push_back({"CPU time", buf});
    r.end_mode = run.end_mode;
    r.target_walks = run.target_walks;
    r.target_error = run.target_error;
    snprintf(buf, sizeof buf, "%llu (%s)", (unsigned long long)run.seed,
             run.seeded ? "--seed: reproducible walks" : "drawn at random");
    r.seed = buf;
    const std::vector<std::string>& conductors = run.conductors;
    r.columns = conductors;
    r.columns.push_back(WINDOW_COLUMN);
    double largest = 0;
    for (const MasterRow& row : run.rows) {
        // Past the first rows a page of charts grows with the square of a
        // block; the rest are listed one line each.
        if (!row.error.empty() || r.rows.size() >= CHARTED_ROWS)
            continue;
        ReportRow out;
        out.master = row.master;
        out.master_column = std::lower_bound(conductors.begin(), conductors.end(), row.master) -
                            conductors.begin();
        out.value.assign(r.columns.size(), 0.0);
        out.error.assign(r.columns.size(), 0.0);
        // The slot after the conductors is the window's.
        if (row.cap.size() > row.conductors.size() && row.err.size() > row.conductors.size()) {
            out.value.back() = row.cap[row.conductors.size()];
            out.error.back() = row.err[row.conductors.size()];
        }
        for (size_t j = 0; j < row.conductors.size() && j < row.cap.size(); j++) {
            size_t at = std::lower_bound(conductors.begin(), conductors.end(), row.conductors[j]) -
                        conductors.begin();
            if (at < conductors.size() && conductors[at] == row.conductors[j]) {
                out.value[at] = row.cap[j];
                out.error[at] = row.err[j];
            }
        }
        for (double v : out.value)
            if (std::isfinite(v))
                largest = std::max(largest, std::fabs(v));
        r.rows.push_back(out);
    }
    r.unit = UnitFor(largest > 0 ? largest : 1e-15);
    r.history = run.history;
    return r;
}

std::string Number(double v)
{
    char buf[32];
    if (!std::isfinite(v))
        return "n/a";
    snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

const int MAX_BARS = 40;

// Horizontal bars of |C| with +-1 standard error whiskers: the master first,
// in the master's colour, then the largest entries, as many as fit.
void BarChart(std::string& out, const ReportPage& r, const ReportRow& row)
{
    std::vector<size_t> idx;
    for (size_t j = 0; j < row.value.size() && j < r.columns.size(); j++)
        if (j != row.master_column)
            idx.push_back(j);
    std::stable_sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
        return std::fabs(row.value[a]) > std::fabs(row.value[b]);
    });
    if (row.master_column < row.value.size())
        idx.insert(idx.begin(), row.master_column);
    size_t omitted = 0;
    if (idx.size() > (size_t)MAX_BARS) {
        omitted = idx.size() - MAX_BARS;
        idx.resize(MAX_BARS);
    }
    double top = 0;
    for (size_t j : idx) {
        double e = j < row.error.size() && std::isfinite(row.error[j]) ? row.error[j] : 0;
        if (std::isfinite(row.value[j]))
            top = std::max(top, std::fabs(row.value[j]) + e);
    }
    if (!(top > 0))
        top = 1e-15;
    const Unit u = r.unit;
    double span = top * u.factor;
    const double left = 170, width = 520, bar = 18, gap = 6;
    double height = idx.size() * (bar + gap) + 50;
    Append(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"760\" height=\"%.0f\">\n",
        height);
    double step = NiceStep(span, 5);
    for (double t = 0; t <= span * 1.0001; t += step) {
        double x = left + t / span * width;
        Append(out,
            "<line x1=\"%.1f\" y1=\"10\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>"
            "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"middle\">%g</text>\n",
            x, x, height - 35, x, height - 20, t);
    }
    Append(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">|C| (%s), "
             "whiskers: one standard error</text>\n",
        left + width / 2, height - 4, u.name);
    double y = 12;
    for (size_t j : idx) {
        double v = std::fabs(row.value[j]) * u.factor;
        double e = j < row.error.size() ? row.error[j] * u.factor : 0;
        if (!std::isfinite(v))
            v = 0;
        double w = v / span * width;
        const char* fill = j == row.master_column        ? "#e03131"
                           : j + 1 == r.columns.size() ? "#868e96"
                                                       : "#4c6ef5";
        Append(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"end\">%s</text>",
            left - 6, y + 13, EscapeXml(r.columns[j]).c_str());
        Append(out,
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
            "<title>%s: %s +/- %s %s</title></rect>\n",
            left, y, w, bar, fill, EscapeXml(r.columns[j]).c_str(), Number(v).c_str(),
            Number(e).c_str(), u.name);
        if (std::isfinite(e) && e > 0) {
            double xa = left + std::max(0.0, v - e) / span * width;
            double xb = left + std::min(span, v + e) / span * width;
            double ym = y + bar / 2;
            Append(out,
                "<path d=\"M%.1f %.1fH%.1fM%.1f %.1fV%.1fM%.1f %.1fV%.1f\" stroke=\"#111\" "
                "stroke-width=\"1.4\" fill=\"none\"/>\n",
                xa, ym, xb, xa, ym - 5, ym + 5, xb, ym - 5, ym + 5);
        }
        Append(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">%s</text>\n",
            left + std::min(width, w + (std::isfinite(e) ? e / span * width : 0)) + 6, y + 13,
            Number(v).c_str());
        y += bar + gap;
    }
    out += "</svg>\n";
    if (omitted)
        Append(out, "<p>%zu smaller entries are not drawn; the table lists them all.</p>\n", omitted);
}

// What one chart against the walk count shows besides its series.
struct ChartMarks {
    bool log_y = false;      // the relative error, on a log scale
    bool band = false;       // +-1 standard error around the estimate
    double target_y = NAN;   // a horizontal target, in plotted units
    long long target_walks = 0;  // a vertical target
    double final_y = NAN;    // the last estimate, dashed across
};

void LineChart(std::string& out, const std::vector<ConvergencePoint>& h, const ChartMarks& m,
               const char* ylabel, double factor)
{
    struct Pt {
        double w, v, lo, hi;
    };
    std::vector<Pt> pts;
    for (const ConvergencePoint& p : h) {
        double v = (m.log_y ? p.rel_err : p.estimate) * factor;
        double e = m.band && std::isfinite(p.rel_err) ? std::fabs(p.rel_err * v) : 0;
        if (p.walks > 0 && std::isfinite(v) && (!m.log_y || v > 0))
            pts.push_back({(double)p.walks, v, v - e, v + e});
    }
    const double left = 80, top = 20, width = 600, height = 240;
    Append(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"720\" height=\"310\">\n");
    Append(out, "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" "
             "stroke=\"#333\"/>\n",
        left, top, width, height);
    if (pts.empty()) {
        Append(out, "<text x=\"%.0f\" y=\"%.0f\" font-size=\"13\">no status checks were "
                 "recorded</text></svg>\n",
            left + 20, top + 40);
        return;
    }
    double x0 = std::log10(pts.front().w), x1 = std::log10(pts.back().w);
    if (m.target_walks > 0)
        x1 = std::max(x1, std::log10((double)m.target_walks));
    double y0 = 1e300, y1 = -1e300;
    auto widen = [&](double v) {
        if (!std::isfinite(v) || (m.log_y && !(v > 0)))
            return;
        double y = m.log_y ? std::log10(v) : v;
        y0 = std::min(y0, y);
        y1 = std::max(y1, y);
    };
    for (const Pt& p : pts) {
        widen(p.lo);
        widen(p.hi);
    }
    widen(m.target_y);
    if (!(x1 > x0)) {
        x0 -= 0.5;
        x1 += 0.5;
    }
    if (m.log_y) {
        y0 = std::floor(y0);
        y1 = std::max(std::ceil(y1), y0 + 1);
    } else {
        double pad = y1 > y0 ? 0.08 * (y1 - y0) : std::max(1e-3, 0.05 * std::fabs(y0));
        y0 -= pad;
        y1 += pad;
    }
    auto X = [&](double w) { return left + (std::log10(w) - x0) / (x1 - x0) * width; };
    auto Y = [&](double v) {
        double t = m.log_y ? std::log10(v) : v;
        return top + height - (t - y0) / (y1 - y0) * height;
    };
    // Walk counts 1, 2 and 5 times a power of ten.
    for (int d = (int)std::floor(x0); d <= (int)std::ceil(x1); d++) {
        for (int f : {1, 2, 5}) {
            double w = f * std::pow(10.0, d);
            double lw = std::log10(w);
            if (lw < x0 - 1e-9 || lw > x1 + 1e-9)
                continue;
            double x = left + (lw - x0) / (x1 - x0) * width;
            Append(out, "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" stroke=\"#ddd\"/>"
                     "<text x=\"%.1f\" y=\"%.0f\" font-size=\"11\" text-anchor=\"middle\">%.0f</text>\n",
                x, top, x, top + height, x, top + height + 15, w);
        }
    }
    if (m.log_y) {
        for (int d = (int)y0; d <= (int)y1; d++) {
            double y = top + height - (d - y0) / (y1 - y0) * height;
            Append(out, "<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"#ddd\"/>"
                     "<text x=\"%.0f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">1e%d</text>\n",
                left, y, left + width, y, left - 5, y + 4, d);
        }
    } else {
        double step = NiceStep(y1 - y0, 5);
        for (double v = std::ceil(y0 / step) * step; v <= y1; v += step) {
            double y = Y(v);
            Append(out, "<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"#ddd\"/>"
                     "<text x=\"%.0f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%.4g</text>\n",
                left, y, left + width, y, left - 5, y + 4, std::fabs(v) < 1e-12 * step ? 0 : v);
        }
    }
    if (m.band) {
        out += "<polygon class=\"kr-band\" fill=\"#a5d8ff\" fill-opacity=\"0.6\" stroke=\"none\" points=\"";
        for (const Pt& p : pts)
            Append(out, "%.1f,%.1f ", X(p.w), Y(p.hi));
        for (size_t i = pts.size(); i-- > 0;)
            Append(out, "%.1f,%.1f ", X(pts[i].w), Y(pts[i].lo));
        out += "\"/>\n";
    }
    auto Level = [&](double v, const char* cls, const char* colour, const char* text) {
        if (!std::isfinite(v) || (m.log_y && !(v > 0)))
            return;
        Append(out, "<line class=\"%s\" x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"%s\" "
                    "stroke-dasharray=\"6 4\"/><text x=\"%.0f\" y=\"%.1f\" font-size=\"11\" fill=\"%s\" "
                    "text-anchor=\"end\">%s</text>\n",
            cls, left, Y(v), left + width, Y(v), colour, left + width - 4, Y(v) - 4, colour, text);
    };
    Level(m.target_y, "kr-target", "#e03131", "target");
    Level(m.final_y, "kr-final", "#495057", "final estimate");
    if (m.target_walks > 0) {
        double x = X((double)m.target_walks);
        Append(out, "<line class=\"kr-target\" x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" "
                    "stroke=\"#e03131\" stroke-dasharray=\"6 4\"/><text x=\"%.1f\" y=\"%.0f\" "
                    "font-size=\"11\" fill=\"#e03131\" text-anchor=\"end\">target walks</text>\n",
            x, top, x, top + height, x - 4, top + 14);
    }
    out += "<polyline fill=\"none\" stroke=\"#1c7ed6\" stroke-width=\"1.5\" points=\"";
    for (const Pt& p : pts)
        Append(out, "%.1f,%.1f ", X(p.w), Y(p.v));
    out += "\"/>\n";
    Append(out, "<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\" text-anchor=\"middle\">walks "
             "(log scale)</text>\n",
        left + width / 2, top + height + 32);
    Append(out, "<text x=\"20\" y=\"%.0f\" font-size=\"12\" text-anchor=\"middle\" "
             "transform=\"rotate(-90 20 %.0f)\">%s</text>\n",
        top + height / 2, top + height / 2, ylabel);
    out += "</svg>\n";
}

// Cell (i, j) shaded by log10 |C_ij| over the matrix's range.
void HeatMap(std::string& out, const ReportPage& r)
{
    double lo = 1e300, hi = -1e300;
    for (const ReportRow& row : r.rows)
        for (double v : row.value)
            if (std::isfinite(v) && v != 0) {
                lo = std::min(lo, std::log10(std::fabs(v)));
                hi = std::max(hi, std::log10(std::fabs(v)));
            }
    if (!(hi >= lo))
        lo = hi = 0;
    const size_t cols = r.columns.size(), rows = r.rows.size();
    const double cell = std::max(8.0, std::min(40.0, 640.0 / std::max<size_t>(cols, 1)));
    const double left = 150, top = 110;
    Append(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\">\n",
        left + cols * cell + 20, top + rows * cell + 40);
    for (size_t j = 0; j < cols; j++)
        Append(out, "<text font-size=\"11\" transform=\"translate(%.1f %.0f) rotate(-60)\">%s</text>\n",
            left + (j + 0.6) * cell, top - 4, EscapeXml(r.columns[j]).c_str());
    for (size_t i = 0; i < rows; i++) {
        const ReportRow& row = r.rows[i];
        Append(out, "<text x=\"%.0f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%s</text>\n",
            left - 6, top + (i + 0.7) * cell, EscapeXml(row.master).c_str());
        for (size_t j = 0; j < cols && j < row.value.size(); j++) {
            double v = row.value[j];
            double t = std::isfinite(v) && v != 0 && hi > lo
                           ? (std::log10(std::fabs(v)) - lo) / (hi - lo)
                           : (std::isfinite(v) && v != 0 ? 1.0 : 0.0);
            int g = (int)std::lround(245 - 200 * t);
            Append(out,
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                "fill=\"rgb(%d,%d,255)\" stroke=\"#fff\"><title>C(%s, %s) = %s %s</title></rect>\n",
                left + j * cell, top + i * cell, cell, cell, g, g,
                EscapeXml(row.master).c_str(), EscapeXml(r.columns[j]).c_str(),
                Number(v * r.unit.factor).c_str(), r.unit.name);
        }
    }
    Append(out, "<text x=\"%.0f\" y=\"%.1f\" font-size=\"11\">darker: larger |C| (log scale, "
             "%s to %s %s)</text>\n",
        left, top + rows * cell + 24, Number(std::pow(10.0, lo) * r.unit.factor).c_str(),
        Number(std::pow(10.0, hi) * r.unit.factor).c_str(), r.unit.name);
    out += "</svg>\n";
}

// The master first, the other conductors in name order, the window last;
// values in the page's unit and in farads.
void Table(std::string& out, const ReportPage& r, const ReportRow& row)
{
    const Unit u = r.unit;
    Append(out, "<table><tr><th>conductor</th><th>C (%s)</th><th>standard error (%s)</th>"
                "<th>relative</th><th>C (F)</th></tr>\n", u.name, u.name);
    std::vector<size_t> order;
    if (row.master_column < row.value.size())
        order.push_back(row.master_column);
    for (size_t j = 0; j < r.columns.size() && j < row.value.size(); j++)
        if (j != row.master_column)
            order.push_back(j);
    double sum = 0;
    for (size_t j : order) {
        double v = row.value[j], e = j < row.error.size() ? row.error[j] : NAN;
        sum += v;
        char rel[32];
        snprintf(rel, sizeof rel, "%.2f%%", 100 * std::fabs(e / v));
        Append(out, "<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%.4e</td></tr>\n",
            EscapeXml(r.columns[j]).c_str(), Number(v * u.factor).c_str(), Number(e * u.factor).c_str(),
            std::isfinite(e / v) ? rel : "n/a", v);
    }
    out += "</table>\n";
    Append(out, "<p>The entries of the row, the window's included, add up to %s %s: about zero, "
                "as the charge on the master is balanced by that on everything else.</p>\n",
        Number(sum * u.factor).c_str(), u.name);
}

}  // namespace

std::string RenderReport(const RunRecord& run, const std::string& picture_svg)
{
    ReportPage r = PageOf(run);
    r.picture_svg = picture_svg;
    std::string out;
    out += "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
           "<meta charset=\"utf-8\"/>\n";
    Append(out, "<title>%s</title>\n", EscapeXml(r.title).c_str());
    out += "<style>\nbody{font-family:sans-serif;margin:24px;color:#222;max-width:1240px}\n"
           "table{border-collapse:collapse;margin:8px 0}\n"
           "td,th{border:1px solid #ccc;padding:3px 10px;text-align:left;font-size:13px}\n"
           "h2{margin-top:28px;border-bottom:1px solid #ddd}\n"
           "svg text{font-family:sans-serif}\n</style>\n</head>\n<body>\n";
    Append(out, "<h1>%s</h1>\n", EscapeXml(r.title).c_str());

    out += "<h2>Settings</h2>\n<table>\n";
    for (const auto& kv : r.settings)
        Append(out, "<tr><th>%s</th><td>%s</td></tr>\n", EscapeXml(kv.first).c_str(),
            EscapeXml(kv.second).c_str());
    Append(out, "<tr><th>seed</th><td>%s</td></tr>\n</table>\n", EscapeXml(r.seed).c_str());

    if (!r.picture_svg.empty()) {
        out += "<h2>Structure</h2>\n<div>\n";
        // Inline, without its XML declaration, which may only open a document.
        std::string svg = r.picture_svg;
        if (svg.compare(0, 5, "<?xml") == 0)
            svg.erase(0, svg.find("?>") + 2);
        out += svg;
        out += "</div>\n";
    }

    if (run.rows.size() > CHARTED_ROWS) {
        Append(out, "<h2>Masters</h2>\n<p>All %zu masters; the rows of the first %zu follow. The result files "
                    "hold every row.</p>\n<table>\n<tr><th>master</th><th>self capacitance (F)</th>"
                    "<th>relative error</th><th>walks</th></tr>\n",
               run.rows.size(), CHARTED_ROWS);
        for (const MasterRow& row : run.rows)
            Append(out, "<tr><td>%s</td><td>%s</td><td>%s</td><td>%lld</td></tr>\n",
                   EscapeXml(TextSafe::ValidUtf8(row.master)).c_str(),
                   row.error.empty() && !row.cap.empty() ? Number(row.cap[0]).c_str() : "failed",
                   Number(row.reached_error).c_str(), row.walks);
        out += "</table>\n";
    }
    for (const ReportRow& row : r.rows) {
        Append(out, "<h2>Capacitance row of %s</h2>\n", EscapeXml(row.master).c_str());
        BarChart(out, r, row);
        Table(out, r, row);
    }
    if (r.rows.size() >= 2) {
        out += "<h2>Capacitance matrix</h2>\n";
        HeatMap(out, r);
    }

    out += "<h2>Convergence</h2>\n";
    Append(out, "<p>%zu status checks of the master's estimate.</p>\n", r.history.size());
    ChartMarks error_marks;
    error_marks.log_y = true;
    if (r.end_mode == 'p')
        error_marks.target_y = r.target_error;
    else
        error_marks.target_walks = r.target_walks;
    LineChart(out, r.history, error_marks, "relative standard error (log)", 1.0);
    const Unit u = r.unit;
    ChartMarks estimate_marks;
    estimate_marks.band = true;
    estimate_marks.target_walks = error_marks.target_walks;
    if (!r.history.empty())
        estimate_marks.final_y = r.history.back().estimate * u.factor;
    char label[96];
    snprintf(label, sizeof label, "master estimate (%s), band: one standard error", u.name);
    LineChart(out, r.history, estimate_marks, label, u.factor);
    out += "</body>\n</html>\n";
    return out;
}
