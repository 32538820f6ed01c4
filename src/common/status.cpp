// Failures: formatted where they are met, thrown to the library's boundary.
#include "common/status.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace zep {

std::string formatText(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::vector<char> text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return text.data();
}

void fail(Status status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = formatText(format, args);
    va_end(args);
    throw Failure{status, std::move(message)};
}

void failSilently(Status status)
{
    throw Failure{status, ""};
}

}  // namespace zep
