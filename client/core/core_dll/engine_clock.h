// The engine's clock: 100-ns ticks since its first use, monotonic, shared by every thread.
// Every segment, chunk, frame and window time of the engine is in this unit.
#pragma once

#include <cstdint>

namespace tallowmarch {

std::int64_t NowHns();

// A time on the performance counter's line in 100-ns units (counter x 10^7 / frequency, as
// audio packets are stamped) moved onto the engine's clock.
std::int64_t PerformanceHnsToNowHns(std::int64_t hns);

// Whole and fractional counter periods converted separately, so that long captures cannot
// overflow the multiplication: counts * 10^7 / frequency, truncated.
std::int64_t CounterToHns(std::int64_t counts, std::int64_t frequency);

// Seconds to ticks: multiplied by 1e7 in double precision, truncated toward zero.
inline std::int64_t SecondsToHns(double seconds) {
  return static_cast<std::int64_t>(seconds * 1e7);
}

}  // namespace tallowmarch
