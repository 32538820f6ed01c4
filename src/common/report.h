// What a run tells its caller while it works: console lines and progress, handed to the
// callbacks the caller gave (any of them may be missing). Nothing here prints.
#pragma once
#include "zep/zep.h"

#include <string>

namespace zep {

class Report {
  public:
    explicit Report(const zep_callbacks* callbacks = nullptr) : callbacks_(callbacks) {}
    // One console line (or several), formatted as printf would.
    void line(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // A line told only once the run has let go of its files (lineAfterRun): a caller that acts
    // on it, say by reading the difference file again, finds it unlocked.
    void lineAfterRun(const char* text)
    {
        afterRun_ = text;
    }
    void tellAfterRun();
    void progress(int percent) const;
    // What an apply does with a record (ZEP_RECORD_...), with the names as stored.
    void recordEvent(int event, const std::string& oldName, const std::string& newName) const;
    const zep_callbacks* callbacks() const
    {
        return callbacks_;
    }

  private:
    const zep_callbacks* callbacks_;
    const char* afterRun_ = nullptr;
};

}  // namespace zep
