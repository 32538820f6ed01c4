// The apply command.
#include "decoder/apply_command.h"

#include "common/fatal.h"

void applyDifferenceFile(const char*)
{
    fatalExit(ExitCode::NOT_BUILT, "apply is not yet built.\n");
}
