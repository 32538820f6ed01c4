// One create, apply or view: its files, output buffer, running checksums, progress and report.
// Nothing here is shared with another run, so two runs may go on in two threads at once; its
// files are released however the run ends (see RunFiles).
#pragma once
#include "common/checksum.h"
#include "common/file_layer.h"
#include "common/output_buffer.h"
#include "common/progress.h"
#include "common/report.h"

#include <cstdint>
#include <vector>

namespace zep {

struct Run {
    explicit Run(const zep_callbacks* callbacks) : report(callbacks), progress(report) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    Report report;
    RunFiles files;
    OutputBuffer out;
    RunningCrcs crcs;
    Progress progress;
    // A compact record's plain instruction stream: a create builds it here before packing it
    // (holdStream).
    bool holdStream = false;
    std::vector<uint8_t> heldStream;
};

}  // namespace zep
