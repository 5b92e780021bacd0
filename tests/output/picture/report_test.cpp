// The run report: its history log, and a page that parses as XML, renders
// and needs nothing from the network.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "runreport.h"
#include "tables_fixture.h"
#include "testutil.h"

namespace {

TEST(ConvergenceLogTest, KeepsAnEvenlySpacedBoundedHistoryEndingWithTheLastCheck)
{
    for (size_t capacity : {2u, 5u, 64u}) {
        for (long long checks : {1LL, 7LL, 64LL, 65LL, 1000LL, 12345LL}) {
            ConvergenceLog log(capacity);
            for (long long k = 1; k <= checks; k++)
                log.Record(1000 * k, 1.0 / std::sqrt((double)k), 1e-15 * k);
            std::vector<ConvergencePoint> p = log.Snapshot();
            const std::string at = std::to_string(capacity) + "/" + std::to_string(checks);
            ASSERT_FALSE(p.empty()) << at;
            EXPECT_LE(p.size(), capacity + 1) << at;
            EXPECT_EQ(p.back().walks, 1000 * checks) << at;
            EXPECT_DOUBLE_EQ(p.back().estimate, 1e-15 * checks) << at;
            // Points before the last: one common spacing, starting one step in.
            for (size_t i = 0; i + 1 < p.size(); i++)
                EXPECT_EQ(p[i].walks, (long long)(i + 1) * p[0].walks) << at << " point " << i;
            // Halving never leaves the log less than half full.
            if ((size_t)checks >= capacity) {
                EXPECT_GE(p.size(), capacity / 2) << at;
            }
            for (const ConvergencePoint& q : p)
                EXPECT_DOUBLE_EQ(q.rel_err, 1.0 / std::sqrt(q.walks / 1000.0)) << at;
        }
    }
}

// xmllint accepts the page, every inline drawing renders, and nothing in it
// points outside the file.
void ExpectSelfContained(const TempDir& dir, const std::string& html)
{
    std::string path = dir.Write("page.html", html);
    RunResult lint = RunIn(dir.path(), "xmllint --noout '" + path + "'");
    EXPECT_EQ(lint.status, 0) << lint.err;
    for (const char* link : {"src=", "href=", "@import", "url(http", "<link", "<script"})
        EXPECT_EQ(html.find(link), std::string::npos) << link;
    size_t from = 0;
    int drawings = 0;
    while ((from = html.find("<svg", from)) != std::string::npos) {
        size_t end = html.find("</svg>", from);
        ASSERT_NE(end, std::string::npos);
        std::string svg = dir.Write("part.svg", html.substr(from, end + 6 - from));
        RunResult png = RunIn(dir.path(), "rsvg-convert '" + svg + "' -o part.png");
        EXPECT_EQ(png.status, 0) << "drawing " << drawings << ": " << png.err;
        from = end;
        ++drawings;
    }
    EXPECT_GE(drawings, 3);
}

TEST(RunReportTest, SeveralMastersAddAHeatMapAndOddValuesStayReadable)
{
    TempDir dir;
    RunRecord r;
    r.deck = "run <of> \"deck\" & more.kd";
    r.threads = 2;
    r.seed = 42;
    r.conductors = {"gnd", "m2", "m<1>"};
    auto row = [](std::vector<std::string> names, std::vector<double> cap, std::vector<double> err) {
        MasterRow m;
        m.master = names[0];
        m.conductors = names;
        m.cap = cap;
        m.err = err;
        return m;
    };
    r.rows.push_back(row({"m<1>", "gnd", "m2"}, {3e-16, -2e-16, -1e-16}, {1e-18, NAN, 2e-18}));
    r.history = {{1000, 0.1, 2.9e-16}, {2000, 0.07, 3.05e-16}, {4000, 0.05, 3e-16}};
    std::string one = RenderReport(r, "");
    EXPECT_EQ(one.find("Capacitance matrix"), std::string::npos);
    ExpectSelfContained(dir, one);

    r.rows.push_back(row({"m2", "gnd", "m<1>"}, {2.5e-16, 0.0, -1e-16}, {1e-18, 0.0, 2e-18}));
    std::string two = RenderReport(r, "");
    EXPECT_NE(two.find("Capacitance matrix"), std::string::npos);
    ExpectSelfContained(dir, two);
    r.history.clear();
    ExpectSelfContained(dir, RenderReport(r, ""));
}

// The page's content: the master first and in its colour, the window's
// share, one unit, the run's facts, the band and the target.
TEST(RunReportTest, ShowsTheMasterFirstTheWindowAndTheRunsFacts)
{
    RunRecord r;
    r.version = "9.9";
    r.seconds = 3.25;
    r.conductors = {"a", "b", "m"};
    MasterRow m;
    m.master = "m";
    m.conductors = {"m", "a", "b"};
    m.cap = {4e-16, -1e-16, -2.5e-16, -0.5e-16};  // the window last: the row adds to zero
    m.err = {4e-18, 1e-18, 2e-18, 1e-18};
    m.walks = 12345;
    m.walk_seconds = 2.5;
    m.walk_cpu_seconds = 4.75;
    r.rows = {m};
    r.target_walks = 9000;
    r.history = {{1000, 0.1, 3.9e-16}, {2000, 0.05, 4.1e-16}, {4000, 0.01, 4e-16}};
    const std::string page = RenderReport(r, "");
    const struct {
        const char* before;  // each must be found, this before `after`
        const char* after;
    } order[] = {
        {"fill=\"#e03131\"><title>m: 400", "<title>b: 250"},  // master first, red, then by size
        {"<title>b: 250", "<title>a: 100"},
        {"<tr><td>m</td><td>400</td>", "<tr><td>a</td><td>-100</td>"},  // table: master, names, window
        {"<tr><td>b</td>", "<tr><td>(window)</td><td>-50</td>"},
        {"|C| (aF)", "<th>C (aF)</th>"},
        {"add up to ", "master estimate (aF)"},
        {"<th>Korva version</th><td>9.9</td>", "<th>walks, all masters</th><td>12345</td>"},
        {"3.25 s in all, 2.50 s of it walking", "4.75 s of the walks"},
        {"target walks", "<polygon class=\"kr-band\""},
    };
    for (const auto& o : order) {
        const size_t a = page.find(o.before), b = page.find(o.after);
        EXPECT_NE(a, std::string::npos) << o.before;
        EXPECT_NE(b, std::string::npos) << o.after;
        EXPECT_LT(a, b) << o.before << " | " << o.after;
    }
    EXPECT_LT(std::fabs(atof(page.c_str() + page.find("add up to ") + 10)), 1e-6);
    EXPECT_EQ(Count(page, "#e03131\"><title>"), 1);
    // With a relative-error target the error plot shows it as a level.
    r.end_mode = 'p';
    r.target_error = 0.02;
    EXPECT_NE(RenderReport(r, "").find("class=\"kr-target\" x1=\"80\""), std::string::npos);
}

class ReportRun : public TablesWorkdir {};

TEST_F(ReportRun, RunWritesItsRowAndHistory)
{
    MakeTables(Example("two_wires.kd"));
    RunResult run = RunIn(dir.path(), std::string(KORVA_EXE) + " -f '" + Example("two_wires.kd") +
                                          "' -t 20000 --report run.html");
    ASSERT_EQ(run.status, 0) << run.out;
    std::string html = ReadFile(dir.path() + "/run.html");
    ExpectSelfContained(dir, html);
    // The stopping rule runs about once per 1000 walks.
    size_t at = html.find(" status checks");
    ASSERT_NE(at, std::string::npos);
    int checks = atoi(html.c_str() + html.rfind('>', at) + 1);
    EXPECT_GE(checks, 15);
    EXPECT_LE(checks, 20);
    // The page's row is the one the console prints.
    size_t line = run.out.find("wire1:");
    ASSERT_NE(line, std::string::npos);
    double printed = atof(run.out.c_str() + line + 6);
    size_t cell = html.find("<tr><td>wire1</td>");
    ASSERT_NE(cell, std::string::npos);
    for (int k = 0; k < 5; k++)  // the last cell is in farads
        cell = html.find("<td>", cell + 1);
    double paged = atof(html.c_str() + cell + 4);
    EXPECT_NEAR(paged, printed, 0.01 * printed);
    EXPECT_EQ(Count(html, "<tr><td>wire"), 2);
}

}  // namespace
