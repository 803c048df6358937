// The simulated named-object layer: real named objects (in the runtime folder the test chooses
// through XDG_RUNTIME_DIR), with scripted creation failures and every wait cut to a scripted
// cap, so that the updater's 30 s mutex wait and 20 s ready wait can be tested in a moment.
// The requested time-outs are recorded.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "system/linux_named_objects.h"

namespace tallowmarch::platform {

class TM_EXPORT SimNamedObjectLayer : public LinuxNamedObjectLayer {
 public:
  std::unique_ptr<NamedMutex> CreateMutex(std::string_view name, std::uint32_t& error) override;
  std::unique_ptr<NamedEvent> CreateEvent(std::string_view name, std::uint32_t& error) override;

  void SetWaitCap(std::optional<std::uint32_t> ms);
  // Creation of mutexes / events fails with this error (nullopt: works).
  void SetMutexFailure(std::optional<std::uint32_t> error);
  void SetEventFailure(std::optional<std::uint32_t> error);
  std::vector<std::uint32_t> WaitTimeouts() const;
  void Reset();

  // Called by the wrapped objects.
  std::uint32_t CapWait(std::uint32_t requested);

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::optional<std::uint32_t> waitCap_;
  std::optional<std::uint32_t> mutexFailure_;
  std::optional<std::uint32_t> eventFailure_;
  std::vector<std::uint32_t> waits_;
};

}  // namespace tallowmarch::platform
