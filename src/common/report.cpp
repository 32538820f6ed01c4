// Console lines and progress to the caller's callbacks.
#include "common/report.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

void Report::line(const char* format, ...) const
{
    if (callbacks_ == nullptr || callbacks_->console == nullptr)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::vector<char> text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    callbacks_->console(callbacks_->context, text.data());
}

void Report::progress(int percent) const
{
    if (callbacks_ != nullptr && callbacks_->progress != nullptr)
        callbacks_->progress(callbacks_->context, percent);
}
