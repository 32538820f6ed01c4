// Fatal exits: the only code that ends the process with a status other than 0.
#include "common/fatal.h"

#include "common/file_layer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

FatalHandler fatalHandler = nullptr;

[[noreturn]] void endProcess(ExitCode code)
{
    if (fatalHandler != nullptr)
        fatalHandler(code);
    std::exit(static_cast<int>(code));
}

}  // namespace

void setFatalHandler(FatalHandler handler)
{
    fatalHandler = handler;
}

void fatalExit(ExitCode code, const char* format, ...)
{
    closeAllFiles();  // first: files must be left consistent even if stderr is closed
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    endProcess(code);
}

void fatalExitSilently(ExitCode code)
{
    closeAllFiles();
    endProcess(code);
}
