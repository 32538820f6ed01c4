// The view command.
#include "viewer/view_command.h"

#include "common/fatal.h"

void viewDifferenceFile(const char*)
{
    fatalExit(ExitCode::NOT_BUILT, "view is not yet built.\n");
}
