// The exit statuses of the ivelcard host, one table: `--help` prints it, the
// README repeats it, and every command returns one of these.
#pragma once

namespace host {

enum ExitStatus : int {
    kExitDone = 0,
    kExitFailed = 1,
    kExitNoModule = 2,
    kExitUsage = 64,
};

struct ExitStatusRow {
    ExitStatus status;
    const char* meaning;
};

inline constexpr ExitStatusRow kExitStatuses[] = {
    {kExitDone, "done; a document that reports a failure (resultFlag not 0) is still an answer"},
    {kExitFailed,
     "the command failed: (un)registration, an output directory or file that cannot be written, a picture "
     "asked for that is empty, drawing"},
    {kExitNoModule, "the control module cannot be used: not found, not loadable, no such member, a call failed"},
    {kExitUsage, "bad arguments (what was wrong is said first)"},
};

}  // namespace host
