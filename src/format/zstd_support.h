// What the compact writer and reader share of libzstd: contexts that free themselves, and the
// one way a zstd failure that is not the input's fault is reported.
#pragma once
#include "common/status.h"

#include <zstd.h>

namespace zep {

struct FreeCCtx {
    void operator()(ZSTD_CCtx* context) const
    {
        ZSTD_freeCCtx(context);
    }
};
struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const
    {
        ZSTD_freeDCtx(context);
    }
};

// zstd reports a failed allocation like any other failure; on input of our own making, or in a
// call that only sets up a context, no other failure can happen.
inline size_t checkedZstd(size_t result)
{
    if (ZSTD_isError(result))
        failSilently(Status::NO_MEMORY);
    return result;
}

}  // namespace zep
