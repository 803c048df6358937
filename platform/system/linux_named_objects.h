// Named objects on linux: flock on a lock file for the mutex, a state file plus inotify for the
// event (each handle holding a shared flock on it), both in the runtime folder (NamedObjectPath).
// Lock files are never deleted: a holder may be between open and flock, and deleting would let two
// holders lock two different files.
#pragma once

#include "system/named_objects.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxNamedObjectLayer : public NamedObjectLayer {
 public:
  std::unique_ptr<NamedMutex> CreateMutex(std::string_view name, std::uint32_t& error) override;
  std::unique_ptr<NamedEvent> CreateEvent(std::string_view name, std::uint32_t& error) override;
  std::unique_ptr<NamedEvent> OpenEvent(std::string_view name, std::uint32_t& error) override;
};

}  // namespace tallowmarch::platform
