// Console lines and progress to the caller's callbacks.
#include "common/report.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

const zep_callbacks* listener = nullptr;

}  // namespace

void reportTo(const zep_callbacks* callbacks)
{
    listener = callbacks;
}

const zep_callbacks* reportedTo()
{
    return listener;
}

void consoleLine(const char* format, ...)
{
    if (listener == nullptr || listener->console == nullptr)
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
    listener->console(listener->context, text.data());
}

void reportProgress(int percent)
{
    if (listener != nullptr && listener->progress != nullptr)
        listener->progress(listener->context, percent);
}
