// The linux layers that need neither a display nor a sound server.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <thread>
#include <vector>

#include "media/linux_media.h"
#include "system/linux_system.h"

namespace tallowmarch::platform {
namespace {

TEST(LinuxSystemTest, ApartmentJoinIsPerThreadAndIdempotent) {
  LinuxSystem system;
  std::thread([&] {
    EXPECT_EQ(system.JoinMultithreadedApartment(), S_OK);
    EXPECT_EQ(system.JoinMultithreadedApartment(), S_FALSE);
  }).join();
  std::thread([&] { EXPECT_EQ(system.JoinMultithreadedApartment(), S_OK); }).join();
}

TEST(LinuxSystemTest, CounterIsMonotonicNanoseconds) {
  LinuxSystem system;
  EXPECT_EQ(system.PerformanceFrequency(), 1000000000);
  std::int64_t last = system.PerformanceCounter();
  for (int i = 0; i < 1000; ++i) {
    const std::int64_t now = system.PerformanceCounter();
    ASSERT_GE(now, last);
    last = now;
  }
}

TEST(LinuxSystemTest, ProcStatusParsing) {
  const char status[] =
      "\nName:\ttest\nVmPeak:\t  9000 kB\nVmRSS:\t    2048 kB\nRssAnon:\t    1024 kB\n"
      "RssFile:\t  1024 kB\nVmSwap:\t      16 kB\n";
  ProcessMemoryCounters counters;
  ASSERT_TRUE(ParseProcStatus(status, counters));
  EXPECT_EQ(counters.workingSet, 2048u * 1024);
  EXPECT_EQ(counters.privateBytes, (1024u + 16u) * 1024);
  EXPECT_FALSE(ParseProcStatus("\nName:\tx\n", counters));
}

TEST(LinuxSystemTest, PrivateBytesFollowMemoryTheProcessTouches) {
  LinuxSystem system;
  ProcessMemoryCounters before, after;
  ASSERT_TRUE(system.QueryProcessMemory(before));
  EXPECT_GT(before.workingSet, 0u);
  std::vector<char> block(64 << 20);
  std::memset(block.data(), 1, block.size());
  ASSERT_TRUE(system.QueryProcessMemory(after));
  EXPECT_GE(after.privateBytes, before.privateBytes + (60u << 20));
  EXPECT_GE(after.workingSet, before.workingSet + (60u << 20));
  EXPECT_EQ(block[block.size() / 2], 1);
}

TEST(LinuxSystemTest, LocalTimeIsPlausible) {
  const LocalTime t = LinuxSystem().CurrentLocalTime();
  EXPECT_GE(t.year, 2024u);
  EXPECT_GE(t.month, 1u);
  EXPECT_LE(t.month, 12u);
  EXPECT_LE(t.second, 60u);
}

TEST(LinuxMediaTest, ListsOnlyEncodersThatArePresent) {
  LinuxMedia media;
  EXPECT_EQ(media.Startup(0x20070, 0), S_OK);
  std::vector<EncoderActivation> encoders;
  EXPECT_EQ(media.EnumHardwareH264Encoders(0x44, encoders), S_OK);
  struct stat st {};
  const bool anyRenderNode = stat("/dev/dri", &st) == 0;
  const bool nvidia = stat("/dev/nvidiactl", &st) == 0;
  if (!anyRenderNode && !nvidia) {
    EXPECT_TRUE(encoders.empty());
  }
  for (const EncoderActivation& encoder : encoders) {
    EXPECT_FALSE(encoder.name.empty());
    EXPECT_EQ(encoder.d3d11AwareResult, S_OK);
  }
  EXPECT_EQ(media.Shutdown(), S_OK);
}

}  // namespace
}  // namespace tallowmarch::platform
