// The updater's dispatch: parse, open the log, run one mode (selftest, reconcile or apply),
// close the log and return the exit code.
#pragma once

#include <string>
#include <vector>

namespace tallowmarch::updater {

// argv[0] is the program; the arguments are wide, converted once from the UTF-8 command line.
int UpdaterMain(const std::vector<std::wstring>& argv);

}  // namespace tallowmarch::updater
