// The whole view command on an arbitrary difference file.
#include "harness.h"
#include "viewer/view_command.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietHarness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = makeScratchDirectory("view") + "/d.zep";
    writeWholeFile(file, data, size);
    try {
        viewDifferenceFile(file.c_str());
    } catch (const FatalExitReached&) {
    }
    releaseEverything();
    return 0;
}
