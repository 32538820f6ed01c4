// Progress: reported only when the percentage changes, and the same whether a run of steps is
// shown at once or one step at a time.
#include "common/progress.h"
#include "support/console_capture.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

// The library's own units, as the tests reach them.
using namespace zep;

TEST(ProgressTest, PrintsEachPercentageOnceAndEndsAt100)
{
    CapturedRun captured;
    Progress progress(captured.report);
    progress.start(400);
    for (uint32_t left = 400; left >= 4; left -= 4)
        progress.show(left / 2, left / 2);
    progress.show(0, 0);
    progress.show(0, 0);
    std::string expected;
    for (int percent = 0; percent <= 100; ++percent) {
        char text[8];
        std::snprintf(text, sizeof text, "%02d%%\r", percent);
        expected += text;
    }
    EXPECT_EQ(captured.take(), expected);
}

TEST(ProgressTest, StepsAtOnceMatchStepsOneByOne)
{
    std::mt19937 random(99);
    for (int round = 0; round < 300; ++round) {
        const uint64_t sourceSize = 1 + random() % (round % 3 == 0 ? 5000000 : 3000);
        const uint64_t destSize = 1 + random() % (round % 3 == 0 ? 5000000 : 3000);
        const uint64_t stride = random() % 40;
        const uint64_t start = random() % std::min(sourceSize, destSize);
        const uint64_t count = std::min(sourceSize, destSize) - start;
        const auto steps = static_cast<uint64_t>(stride == 0 ? count : count / (stride / 2 + 1));
        CapturedRun oneByOne;
        Progress single(oneByOne.report);
        single.start(sourceSize + destSize);
        single.show(static_cast<uint32_t>(sourceSize), static_cast<uint32_t>(destSize));
        for (uint64_t m = 0; m < steps; ++m) {
            const uint64_t done = start * 2 + m * stride;
            single.show(static_cast<uint32_t>(sourceSize + destSize - done), 0);
        }
        single.show(0, 0);
        CapturedRun atOnce;
        Progress many(atOnce.report);
        many.start(sourceSize + destSize);
        many.show(static_cast<uint32_t>(sourceSize), static_cast<uint32_t>(destSize));
        many.showSteps(static_cast<uint32_t>(sourceSize + destSize - start * 2), 0, steps, stride);
        many.show(0, 0);
        ASSERT_EQ(atOnce.take(), oneByOne.take()) << round;
    }
}
