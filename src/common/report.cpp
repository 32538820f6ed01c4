// Console lines and progress to the caller's callbacks.
#include "common/report.h"

#include "common/status.h"

#include <cstdarg>
#include <string>

namespace zep {

void Report::line(const char* format, ...) const
{
    if (callbacks_ == nullptr || callbacks_->console == nullptr)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = formatText(format, args);
    va_end(args);
    callbacks_->console(callbacks_->context, text.c_str());
}

void Report::recordEvent(int event, const std::string& oldName, const std::string& newName) const
{
    if (callbacks_ != nullptr && callbacks_->record != nullptr)
        callbacks_->record(callbacks_->context, event, oldName.c_str(), newName.c_str());
}

void Report::tellAfterRun()
{
    const char* text = afterRun_;
    afterRun_ = nullptr;
    if (text != nullptr && callbacks_ != nullptr && callbacks_->console != nullptr)
        callbacks_->console(callbacks_->context, text);
}

void Report::progress(int percent) const
{
    // A caller that asks to stop ends the run as a failure would, without a message.
    if (callbacks_ != nullptr && callbacks_->progress != nullptr &&
        callbacks_->progress(callbacks_->context, percent) != 0)
        failSilently(Status::CANCELLED);
}

}  // namespace zep
