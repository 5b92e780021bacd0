// Which finished results a rerun may keep, and result names that never clash.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "batch.h"

namespace {

using Json = nlohmann::json;

std::string Doc(const std::string& mode, double target, bool converged, const char* extra = nullptr)
{
    Json d = {{"options", {{"mode", mode}, {"target_walks", (long long)target},
                           {"target_relative_error", target}, {"master", Json::array()},
                           {"all_masters", false}, {"exclude", Json::array()}}},
              {"masters", {{{"master", "w"}, {"converged", converged}}}}};
    if (extra)
        d.merge_patch(Json::parse(extra));
    return d.dump();
}

TEST(ResumeRule, KeepsOnlyResultsThatMeetTheAskedTarget)
{
    RunSettings walks;
    walks.target_walks = 5000;
    RunSettings error;
    error.end_mode = 'p';
    error.target_error = 0.01;
    struct Case {
        const RunSettings& asked;
        std::string doc;
        bool keep;
    } cases[] = {
        {walks, Doc("t", 5000, true), true},
        {walks, Doc("t", 9000, true), true},
        {walks, Doc("t", 4000, true), false},           // fewer walks than asked
        {walks, Doc("t", 5000, false), false},          // stopped by a budget
        {walks, Doc("p", 0.001, true), false},          // the other mode
        {error, Doc("p", 0.005, true), true},
        {error, Doc("p", 0.02, true), false},           // looser error
        {error, Doc("p", 0.01, true, R"({"failed": true})"), false},
        {error, Doc("p", 0.01, true, R"({"options": {"all_masters": true}})"), false},
        {error, Doc("p", 0.01, true, R"({"masters": []})"), false},
        {error, "{\"options\": ", false},              // cut short
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResultMeetsTarget(c.doc, c.asked), c.keep) << c.doc;
}

TEST(ResumeRule, InputsOfOneNameGetTheirListPosition)
{
    EXPECT_EQ(ResultNames({"a/x.kd", "b/x.kd", "y.pex25d", "z"}),
              (std::vector<std::string>{"x.1.json", "x.2.json", "y.json", "z.json"}));
}

}  // namespace
