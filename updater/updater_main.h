// The updater's dispatch: parse, open the log, run one mode (selftest, reconcile or apply),
// close the log and return the exit code.
#pragma once

#include <string>
#include <vector>

namespace tallowmarch::updater {

// argv[0] is the program; the arguments are wide, converted once from the UTF-8 command line.
int UpdaterMain(const std::vector<std::wstring>& argv);

// The process around it: ignores SIGPIPE (a standard error whose reader has gone must not end
// a run half-way) and converts the UTF-8 command line, refusing an argument that is not UTF-8
// with the usage line and exit code 2 rather than acting on a different path.
int RunUpdaterProcess(int argc, char** argv);

}  // namespace tallowmarch::updater
