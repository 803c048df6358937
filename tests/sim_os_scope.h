// Installs the simulated file, named-object and process layers for the life of the object and
// points the runtime folder of named objects at a private folder, so that tests running in
// parallel never meet on a name.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "system/os_layers.h"
#include "system/sim_files.h"
#include "system/sim_named_objects.h"
#include "system/sim_process.h"

namespace tallowmarch::test {

class SimOsScope {
 public:
  explicit SimOsScope(const std::filesystem::path& runtimeFolder) {
    const char* previous = std::getenv("XDG_RUNTIME_DIR");
    if (previous != nullptr) previousRuntime_ = previous;
    std::filesystem::create_directories(runtimeFolder);
    // The user's own, as the named objects require.
    std::filesystem::permissions(runtimeFolder, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtimeFolder.c_str(), 1);
    platform::CurrentOsLayers() = platform::OsLayers{&files, &namedObjects, &processes};
  }
  ~SimOsScope() {
    platform::InstallLinuxOsLayers();
    if (previousRuntime_) {
      setenv("XDG_RUNTIME_DIR", previousRuntime_->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }
  SimOsScope(const SimOsScope&) = delete;
  SimOsScope& operator=(const SimOsScope&) = delete;

  platform::SimFileLayer files;
  platform::SimNamedObjectLayer namedObjects;
  platform::SimProcessLayer processes;

 private:
  std::optional<std::string> previousRuntime_;
};

}  // namespace tallowmarch::test
