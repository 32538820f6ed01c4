// What a run tells its caller while it works: console lines and progress, handed to the
// callbacks the caller gave (any of them may be missing). Nothing here prints.
#pragma once
#include "zep/zep.h"

namespace zep {

class Report {
  public:
    explicit Report(const zep_callbacks* callbacks = nullptr) : callbacks_(callbacks) {}
    // One console line (or several), formatted as printf would.
    void line(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void progress(int percent) const;
    const zep_callbacks* callbacks() const
    {
        return callbacks_;
    }

  private:
    const zep_callbacks* callbacks_;
};

}  // namespace zep
