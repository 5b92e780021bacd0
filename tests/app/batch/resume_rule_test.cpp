// Which finished results a rerun may keep, and result names that never clash.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <set>

#include "batch.h"
#include "testutil.h"
#include "textsafe.h"

namespace {

using Json = nlohmann::json;

Json Doc(const std::string& mode, double target, bool converged, const RunSettings& recorded,
         const std::string& line = "a.kd")
{
    return {{"deck", line},
            {"options", {{"mode", mode}, {"target_walks", (long long)target}, {"target_relative_error", target},
                         {"master", Json::array()}, {"all_masters", false}, {"exclude", Json::array()}}},
            {"masters", {{{"master", "w"}, {"converged", converged},
                          {"entries", {{{"conductor", "w"}, {"capacitance_F", 1e-16}, {"std_error_F", nullptr}}}}}}},
            {"batch", {{"input", line}, {"number_options", ResumeOptions(recorded)}}}};
}

bool Keeps(const Json& doc, const RunSettings& asked, const std::string& line = "a.kd")
{
    ResultDoc d;
    std::string why;
    return ReadResult(doc.dump(), d, why) && ResultMeetsTarget(d, line, asked);
}

TEST(ResumeRule, KeepsOnlyResultsThatMeetTheAskedTarget)
{
    RunSettings walks;
    walks.target_walks = 5000;
    RunSettings error;
    error.end_mode = 'p';
    error.target_error = 0.05;  // not a float: kept at double precision
    RunSettings seeded = error;
    seeded.seeded = true;
    seeded.seed = 7;
    auto with = [](Json d, const char* patch) {
        d.merge_patch(Json::parse(patch));
        return d;
    };
    struct Case {
        const RunSettings& asked;
        Json doc;
        bool keep;
    } cases[] = {
        {walks, Doc("t", 5000, true, walks), true},
        {walks, Doc("t", 9000, true, walks), true},
        {walks, Doc("t", 4000, true, walks), false},    // fewer walks than asked
        {walks, Doc("t", 5000, false, walks), false},   // stopped by a budget
        {walks, Doc("p", 0.001, true, walks), false},   // the other mode
        {error, Doc("p", 0.05, true, error), true},     // the same error
        {error, Doc("p", 0.005, true, error), true},
        {error, Doc("p", 0.050000001, true, error), false},
        {error, Doc("p", 0.05, true, seeded), false},   // other number options
        {seeded, Doc("p", 0.05, true, error), false},
        {seeded, Doc("p", 0.05, true, seeded), true},
        {error, Doc("p", 0.05, true, error, "b.kd"), false},  // another input's result
        {error, with(Doc("p", 0.05, true, error), R"({"batch": null})"), false},
        {error, with(Doc("p", 0.05, true, error), R"({"failed": true, "error": "x"})"), false},
        {error, with(Doc("p", 0.05, true, error), R"({"options": {"all_masters": true}})"), false},
        {error, with(Doc("p", 0.05, true, error), R"({"masters": []})"), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Keeps(c.doc, c.asked), c.keep) << c.doc.dump();
}

// Every option that changes a number tells results apart; the others do not.
TEST(ResumeRule, EveryNumberOptionTellsResultsApart)
{
    // A process file counts by what it holds, wherever it lies.
    TempDir dir;
    const std::string stack_a = dir.Write("a.txt", "a"), stack_b = dir.Write("b.txt", "b"),
                      stack_a_again = dir.Write("again/other.txt", "a");
    const std::vector<std::function<void(RunSettings&)>> numbers = {
        [](RunSettings& s) { s.masters = {"w"}; },
        [](RunSettings& s) { s.masters = {"w", "v"}; },
        [](RunSettings& s) { s.masters = {"v", "w"}; },
        [](RunSettings& s) { s.all_masters = true; },
        [](RunSettings& s) { s.all_masters = true, s.exclude = {"v"}; },
        [](RunSettings& s) { s.ground = {"v"}; },
        [](RunSettings& s) { s.floating_as_ground = true; },
        [](RunSettings& s) { s.per_length = true; },
        [&](RunSettings& s) { s.process_path = stack_a; },
        [&](RunSettings& s) { s.process_path = stack_b; },
        [](RunSettings& s) { s.seeded = true; },
        [](RunSettings& s) { s.seeded = true, s.seed = 1; },
    };
    const std::vector<std::function<void(RunSettings&)>> others = {
        [](RunSettings& s) { s.threads = 4; },
        [](RunSettings& s) { s.time_limit = 9; },
        [](RunSettings& s) { s.max_walks = 99; },
        [](RunSettings& s) { s.json_path = "x.json"; },
        [](RunSettings& s) { s.out_dir = "elsewhere"; },
        [](RunSettings& s) { s.target_walks = 7; },
        [](RunSettings& s) { s.end_mode = 'p', s.target_error = 0.3; },
    };
    const RunSettings base;
    std::set<std::string> seen{ResumeOptions(base)};
    for (size_t i = 0; i < numbers.size(); i++) {
        RunSettings s;
        numbers[i](s);
        EXPECT_TRUE(seen.insert(ResumeOptions(s)).second) << i << ": " << ResumeOptions(s);
        EXPECT_FALSE(Keeps(Doc("t", 2000, true, base), s)) << i;
        EXPECT_FALSE(Keeps(Doc("t", 2000, true, s), base)) << i;
    }
    for (size_t i = 0; i < others.size(); i++) {
        RunSettings s;
        others[i](s);
        EXPECT_EQ(ResumeOptions(s), ResumeOptions(base)) << i;
    }
    RunSettings a, a_again;
    a.process_path = stack_a, a_again.process_path = stack_a_again;
    EXPECT_EQ(ResumeOptions(a), ResumeOptions(a_again));
}

// Every string of a small alphabet that holds the bytes the names treat
// specially: distinct lines, distinct names, none hidden, all valid UTF-8.
TEST(ResumeRule, ResultNamesAreOneToOne)
{
    const std::string alphabet[] = {"a", ".", "/", "~", "%", "7", "E", "\xff", "\xc3\xa9", " "};
    std::vector<std::string> lines{""};
    for (size_t len = 0, from = 0; len < 4; len++) {
        const size_t to = lines.size();
        for (size_t i = from; i < to; i++)
            for (const std::string& c : alphabet)
                lines.push_back(lines[i] + c);
        from = to;
    }
    // Lines too long for one file name, differing anywhere.
    const std::string longer(400, 'x');
    for (size_t at : {0, 150, 199, 399})
        lines.push_back(longer.substr(0, at) + "/" + longer.substr(at + 1));
    std::set<std::string> names;
    for (const std::string& line : lines) {
        const std::string name = ResultName(line);
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_NE(name[0], '.') << name;
        EXPECT_TRUE(TextSafe::IsValidUtf8(name)) << name;
        EXPECT_LE(name.size(), 210u);
        EXPECT_EQ(name.find_first_of(std::string("/ \0", 3)), std::string::npos) << name;
    }
    EXPECT_EQ(ResultName("decks/a.kd"), "decks~a.kd.json");  // readable
}

// Damaged copies of a result: every field removed or given each wrong
// type, every cut, fields added of the wrong type. Each is refused with a
// reason, never trusted and never an abort; only a number for a number and
// an unknown capacitance stay a result.
TEST(ResumeRule, DamagedResultsAreRefusedNeverTrusted)
{
    RunSettings s;
    const Json good = Doc("t", 2000, true, s);
    ASSERT_TRUE(Keeps(good, s));
    std::vector<Json::json_pointer> fields;
    std::function<void(const Json&, const Json::json_pointer&)> walk = [&](const Json& node,
                                                                         const Json::json_pointer& at) {
        if (!at.empty())
            fields.push_back(at);
        if (node.is_object())
            for (auto it = node.begin(); it != node.end(); ++it)
                walk(it.value(), at / it.key());
        if (node.is_array())
            for (size_t i = 0; i < node.size(); i++)
                walk(node[i], at / i);
    };
    walk(good, Json::json_pointer());
    ASSERT_EQ(fields.size(), 20u);
    auto refused = [&s](const std::string& text, const std::string& what) {
        ResultDoc d;
        std::string why;
        bool read = true;
        EXPECT_NO_THROW(read = ReadResult(text, d, why)) << what;
        EXPECT_EQ(read, why.empty()) << what;
        if (read) {
            EXPECT_NO_THROW(ResultMeetsTarget(d, "a.kd", s)) << what;
        }
        return !read;
    };
    const Json wrong[] = {nullptr, 7, -1.5, "x", true, Json::array(), Json::object()};
    int copies = 0;
    for (const Json::json_pointer& at : fields) {
        const Json& was = good.at(at);
        const std::string key = at.back();
        for (const Json& w : wrong) {
            if (w.type() == was.type() && !w.is_structured())
                continue;
            Json copy = good;
            copy[at] = w;
            const bool usable = w == was || (w.is_number() && was.is_number() &&
                                             (key != "target_walks" || w.is_number_integer())) ||
                                ((w.is_null() || w.is_number()) && (key == "capacitance_F" || key == "std_error_F"));
            const std::string what = at.to_string() + " = " + w.dump();
            EXPECT_EQ(refused(copy.dump(), what), !usable) << what;
            copies++;
        }
        Json copy = good;
        copy[at.parent_pointer()].is_object() ? (void)copy[at.parent_pointer()].erase(key)
                                              : copy[at.parent_pointer()].erase(std::stoul(key));
        // A result without the batch's record is still one to merge, never one to keep.
        if (key == "batch") {
            EXPECT_FALSE(Keeps(copy, s));
        } else {
            EXPECT_TRUE(refused(copy.dump(), "without " + at.to_string())) << at.to_string();
        }
    }
    EXPECT_GT(copies, 100);
    for (const char* added : {R"({"failed": "yes"})", R"({"failed": true})", R"({"failed": true, "error": 3})",
                              R"({"batch": []})", R"({"options": {"exclude": [1]}})"}) {
        Json copy = good;
        copy.merge_patch(Json::parse(added));
        EXPECT_TRUE(refused(copy.dump(), added)) << added;
    }
    Json erred = good;
    erred["masters"][0]["error"] = Json::array();
    EXPECT_TRUE(refused(erred.dump(), "error of a master"));
    const std::string text = good.dump();
    for (size_t cut = 0; cut < text.size(); cut++)
        EXPECT_TRUE(refused(text.substr(0, cut), "cut at " + std::to_string(cut)));
    for (const Json& w : wrong)
        EXPECT_TRUE(refused(w.dump(), "the whole " + w.dump()));
}

}  // namespace
