// The layers through which the updater (and the test host) reach the operating system: files,
// named objects and processes. The linux layers are installed unless a test installs others
// (the sim layers with their injected faults) for the duration of a test.
#pragma once

#include "common/export.h"
#include "system/files.h"
#include "system/named_objects.h"
#include "system/process.h"

namespace tallowmarch::platform {

struct OsLayers {
  FileLayer* files = nullptr;
  NamedObjectLayer* namedObjects = nullptr;
  ProcessLayer* processes = nullptr;
};

// Single-threaded use: the updater is one thread, and tests swap layers between runs only.
TM_EXPORT OsLayers& CurrentOsLayers();
// Puts the linux layers back.
TM_EXPORT void InstallLinuxOsLayers();

inline FileLayer& Files() {
  return *CurrentOsLayers().files;
}
inline NamedObjectLayer& NamedObjects() {
  return *CurrentOsLayers().namedObjects;
}
inline ProcessLayer& Processes() {
  return *CurrentOsLayers().processes;
}

}  // namespace tallowmarch::platform
