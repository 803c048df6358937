// The two further modes: reconcile repairs an install folder after an interrupted update;
// selftest only verifies an archive.
#pragma once

#include "updater_options.h"

namespace tallowmarch::updater {

// 0, 3 or 6. Only called with a target folder.
int ReconcileInterruptedUpdate(const UpdaterOptions& options);
// 0 (accepted), 1 (rejected) or 2 (options missing).
int RunSelfTest(const UpdaterOptions& options);

}  // namespace tallowmarch::updater
