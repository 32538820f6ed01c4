// The create command.
#include "encoder/create_command.h"

#include "common/fatal.h"

void createRecord(const char*, const char*, const char*)
{
    fatalExit(ExitCode::NOT_BUILT, "create is not yet built.\n");
}
