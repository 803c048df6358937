#include "system/sim_named_objects.h"

namespace tallowmarch::platform {
namespace {

class CappedMutex : public NamedMutex {
 public:
  CappedMutex(std::unique_ptr<NamedMutex> inner, SimNamedObjectLayer& layer)
      : inner_(std::move(inner)), layer_(layer) {}
  ObjectWait Wait(std::uint32_t timeoutMs) override {
    return inner_->Wait(layer_.CapWait(timeoutMs));
  }
  bool Release() override { return inner_->Release(); }

 private:
  std::unique_ptr<NamedMutex> inner_;
  SimNamedObjectLayer& layer_;
};

class CappedEvent : public NamedEvent {
 public:
  CappedEvent(std::unique_ptr<NamedEvent> inner, SimNamedObjectLayer& layer)
      : inner_(std::move(inner)), layer_(layer) {}
  ObjectWait Wait(std::uint32_t timeoutMs) override {
    return inner_->Wait(layer_.CapWait(timeoutMs));
  }
  bool Set() override { return inner_->Set(); }
  bool Reset() override { return inner_->Reset(); }
  bool IsSet() override { return inner_->IsSet(); }

 private:
  std::unique_ptr<NamedEvent> inner_;
  SimNamedObjectLayer& layer_;
};

}  // namespace

std::unique_ptr<NamedMutex> SimNamedObjectLayer::CreateMutex(std::string_view name,
                                                             std::uint32_t& error) {
  {
    std::lock_guard lock(mutex_);
    if (mutexFailure_) {
      error = *mutexFailure_;
      return nullptr;
    }
  }
  auto inner = LinuxNamedObjectLayer::CreateMutex(name, error);
  if (!inner) return nullptr;
  return std::make_unique<CappedMutex>(std::move(inner), *this);
}

std::unique_ptr<NamedEvent> SimNamedObjectLayer::CreateEvent(std::string_view name,
                                                             std::uint32_t& error) {
  {
    std::lock_guard lock(mutex_);
    if (eventFailure_) {
      error = *eventFailure_;
      return nullptr;
    }
  }
  auto inner = LinuxNamedObjectLayer::CreateEvent(name, error);
  if (!inner) return nullptr;
  return std::make_unique<CappedEvent>(std::move(inner), *this);
}

void SimNamedObjectLayer::SetWaitCap(std::optional<std::uint32_t> ms) {
  std::lock_guard lock(mutex_);
  waitCap_ = ms;
}

void SimNamedObjectLayer::SetMutexFailure(std::optional<std::uint32_t> error) {
  std::lock_guard lock(mutex_);
  mutexFailure_ = error;
}

void SimNamedObjectLayer::SetEventFailure(std::optional<std::uint32_t> error) {
  std::lock_guard lock(mutex_);
  eventFailure_ = error;
}

std::vector<std::uint32_t> SimNamedObjectLayer::WaitTimeouts() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

void SimNamedObjectLayer::Reset() {
  std::lock_guard lock(mutex_);
  waitCap_.reset();
  mutexFailure_.reset();
  eventFailure_.reset();
  waits_.clear();
}

std::uint32_t SimNamedObjectLayer::CapWait(std::uint32_t requested) {
  std::lock_guard lock(mutex_);
  waits_.push_back(requested);
  return waitCap_ ? std::min(requested, *waitCap_) : requested;
}

}  // namespace tallowmarch::platform
