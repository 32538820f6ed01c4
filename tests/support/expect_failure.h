// Runs code that is to fail and checks the failure: the status as a shell sees it (the low
// 8 bits) and the exact message the tool would print.
#pragma once
#include "common/status.h"

#include <gtest/gtest.h>
#include <string>

// The library's own units, as the tests reach them.
using namespace zep;

template <typename Body> void expectFailure(Body body, int shellStatus, const std::string& message)
{
    try {
        body();
        ADD_FAILURE() << "no failure; expected status " << shellStatus << ": " << message;
    } catch (const Failure& failure) {
        EXPECT_EQ(static_cast<int>(failure.status) & 0xFF, shellStatus);
        EXPECT_EQ(failure.message, message);
    }
}
