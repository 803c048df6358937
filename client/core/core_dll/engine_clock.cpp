#include "engine_clock.h"

#include <mutex>

#include "platform.h"
#include "system/system.h"

namespace tallowmarch {
namespace {
std::once_flag g_clockOnce;
std::int64_t g_qpcFrequency = 1;  // written once under g_clockOnce
std::int64_t g_qpcBase = 0;       // written once under g_clockOnce
}  // namespace

std::int64_t CounterToHns(std::int64_t counts, std::int64_t frequency) {
  const std::int64_t seconds = counts / frequency;
  const std::int64_t remainder = counts % frequency;
  return seconds * 10000000 + remainder * 10000000 / frequency;
}

std::int64_t NowHns() {
  platform::SystemLayer& system = platform::System();
  std::call_once(g_clockOnce, [&] {
    g_qpcFrequency = system.PerformanceFrequency();
    g_qpcBase = system.PerformanceCounter();
  });
  return CounterToHns(system.PerformanceCounter() - g_qpcBase, g_qpcFrequency);
}

std::int64_t PerformanceHnsToNowHns(std::int64_t hns) {
  NowHns();  // fixes the base
  return hns - CounterToHns(g_qpcBase, g_qpcFrequency);
}

}  // namespace tallowmarch
