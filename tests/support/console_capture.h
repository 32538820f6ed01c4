// Collects what the library reports while a test runs it: console lines, and progress in the
// form the tool prints it ("NN%\r"), so tests compare with what a user of the tool sees.
#pragma once
#include "common/report.h"

#include <cstdio>
#include <string>
#include <utility>

inline std::string& capturedConsole()
{
    static std::string text;
    return text;
}

inline void captureConsole()
{
    static const zep_callbacks callbacks = {
        nullptr, [](void*, const char* text) { capturedConsole() += text; },
        [](void*, const char* text) { capturedConsole() += text; },
        [](void*, int percent) {
            char text[8];
            std::snprintf(text, sizeof text, "%02d%%\r", percent);
            capturedConsole() += text;
        },
        nullptr};
    capturedConsole().clear();
    reportTo(&callbacks);
}

inline std::string takeConsole()
{
    reportTo(nullptr);
    return std::exchange(capturedConsole(), std::string());
}
