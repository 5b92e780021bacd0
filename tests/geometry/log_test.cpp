// The console channels and the fatal check, which live beside the geometry
// types in the base library.
static const char KORVA_SOURCE[] = "src/logtest";

#include "log.h"

#include <gtest/gtest.h>

namespace {

TEST(LogTest, ChannelsWriteToStandardOutputExceptInfo)
{
    Log::open();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Log::pinfo("hidden %d\n", 1), 1);
    EXPECT_EQ(Log::perror("error %d\n", 2), 8);
    EXPECT_EQ(Log::pwarning("warning\n"), 8);
    EXPECT_EQ(Log::output("out %s", "x"), 5);
    EXPECT_EQ(Log::result("|res\n"), 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error 2\nwarning\nout x|res\n");
}

void FailingCheck(int index) { FATAL_CHECK_TEXT(index < 3, "idx<3"); }

TEST(LogDeathTest, FatalCheckNamesExpressionSourceAndFunction)
{
    EXPECT_DEATH(FailingCheck(5),
                 "korva: src/logtest:[0-9]+: void \\{anonymous\\}::FailingCheck\\(int\\): "
                 "Assertion `idx<3' failed\\.");
    FailingCheck(1);
}

}  // namespace
