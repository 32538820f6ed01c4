// The whole view command on an arbitrary difference file, through the library's API.
#include "harness.h"
#include "zep/zep.h"

// The library's own units.
using namespace zep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = makeScratchDirectory("view") + "/d.zep";
    writeWholeFile(file, data, size);
    const int status = zep_list(file.c_str(), nullptr, nullptr, nullptr);
    if (status != ZEP_OK && status != ZEP_HEADER_BROKEN)
        std::abort();
    return 0;
}
