// Named kernel objects shared between the updater and the host: a mutex (a lock file held with
// flock, released by the kernel when its holder dies, so an abandoned mutex is simply acquired)
// and a manual-reset event (a one-byte state file in the runtime folder, watched with inotify).
// Like a kernel object, an event exists only while a handle to it is open: every handle holds a
// shared flock on the file, so a file that nobody holds (left by a crash) is not an event.
// Both live in the runtime folder under the file name that NamedObjectPath gives; every program
// that meets another through a name uses that one function. The folder and the object files
// belong to the user alone (0700 and 0600): the layer refuses a folder that is a link, has
// another owner or is open to others, and an object file of another owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/export.h"

namespace tallowmarch::platform {

enum class NamedObjectKind { kMutex, kEvent };

// XDG_RUNTIME_DIR when it is set, else /dev/shm/tallowmarch-<effective user id> (root and
// services have no XDG_RUNTIME_DIR).
TM_EXPORT std::string RuntimeFolder();
// The file of a named object: RuntimeFolder() + "/tallowmarch-" + kind + "-" + the name with
// every byte outside [A-Za-z0-9._-] written as %XX (so "Global\X" and "Global/X" differ and no
// name can leave the folder). Empty when the name is empty or too long for one file name.
TM_EXPORT std::string NamedObjectPath(std::string_view utf8Name, NamedObjectKind kind);

enum class ObjectWait { kSignaled, kTimedOut, kFailed };

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // kSignaled when the mutex is now held (also when its previous holder died holding it).
  virtual ObjectWait Wait(std::uint32_t timeoutMs) = 0;
  virtual bool Release() = 0;
};

class NamedEvent {
 public:
  virtual ~NamedEvent() = default;
  // kSignaled as soon as the event is set; a manual-reset event stays set.
  virtual ObjectWait Wait(std::uint32_t timeoutMs) = 0;
  virtual bool Set() = 0;
  virtual bool Reset() = 0;
  virtual bool IsSet() = 0;
};

class NamedObjectLayer {
 public:
  virtual ~NamedObjectLayer() = default;
  // Creates the mutex or opens the existing one; not owned.
  virtual std::unique_ptr<NamedMutex> CreateMutex(std::string_view name, std::uint32_t& error) = 0;
  // Creates a manual-reset event, not signalled; an existing one is opened in its state.
  virtual std::unique_ptr<NamedEvent> CreateEvent(std::string_view name, std::uint32_t& error) = 0;
  // Opens an existing event; kErrorFileNotFound when there is none.
  virtual std::unique_ptr<NamedEvent> OpenEvent(std::string_view name, std::uint32_t& error) = 0;
};

}  // namespace tallowmarch::platform
