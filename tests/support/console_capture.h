// A run's report and files, its report collected: console lines, and progress in the form the tool
// prints it
// ("NN%\r"), so tests compare with what a user of the tool sees.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"

#include <cstdio>
#include <string>
#include <utility>

// The library's own units, as the tests reach them.
using namespace zep;

class CapturedRun {
  public:
    CapturedRun() = default;
    CapturedRun(const CapturedRun&) = delete;
    CapturedRun& operator=(const CapturedRun&) = delete;

    // What was reported since the last call.
    std::string take()
    {
        return std::exchange(text_, std::string());
    }

  private:
    static void append(void* self, const char* text)
    {
        static_cast<CapturedRun*>(self)->text_ += text;
    }
    static int progress(void* self, int percent)
    {
        char text[8];
        std::snprintf(text, sizeof text, "%02d%%\r", percent);
        static_cast<CapturedRun*>(self)->text_ += text;
        return 0;
    }

    std::string text_;
    const zep_callbacks callbacks_ = {
        sizeof(zep_callbacks), this, append, append, progress, nullptr, nullptr};

  public:
    Report report{&callbacks_};
    RunFiles files;
};
