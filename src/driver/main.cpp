// Entry point: banner, command line, then exactly one command. Every failure ends the process
// where it is met; reaching the end of main means the command succeeded.
#include "common/stop_signals.h"
#include "decoder/apply_command.h"
#include "driver/command_line.h"
#include "encoder/create_command.h"
#include "format/record_header.h"
#include "viewer/view_command.h"

int main(int argc, char** argv)
{
    handleStopSignals();
    printBanner();
    const Invocation invocation = parseCommandLine(argc, argv);
    switch (invocation.command) {
    case Command::USAGE:
        showUsage();
    case Command::VIEW:
        viewDifferenceFile(invocation.sourcePath.c_str());
        break;
    case Command::APPLY:
        applyDifferenceFile(invocation.sourcePath.c_str());
        break;
    case Command::CREATE:
        refuseNamesStoredOtherwise(invocation);
        buildRecordHeader(invocation.sourceName.c_str(), invocation.destName.c_str());
        createRecord(invocation.sourcePath.c_str(), invocation.destPath.c_str(),
                     invocation.diffPath.c_str());
        break;
    }
    return 0;
}
