#include "system/linux_files.h"
#include "system/linux_named_objects.h"
#include "system/linux_process.h"
#include "system/os_layers.h"

namespace tallowmarch::platform {
namespace {

struct LinuxOsLayers {
  LinuxFileLayer files;
  LinuxNamedObjectLayer namedObjects;
  LinuxProcessLayer processes;
  OsLayers installed{&files, &namedObjects, &processes};
};

LinuxOsLayers& Linux() {
  static LinuxOsLayers layers;
  return layers;
}

}  // namespace

OsLayers& CurrentOsLayers() {
  return Linux().installed;
}

void InstallLinuxOsLayers() {
  LinuxOsLayers& layers = Linux();
  layers.installed = OsLayers{&layers.files, &layers.namedObjects, &layers.processes};
}

}  // namespace tallowmarch::platform
