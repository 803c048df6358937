// The product library as a host loads it: dlopen, the 15 exports and nothing of the engine's
// or the platform's C++ beside them, initialise and shut down, with and without a display.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tallowmarch/core.h"
#include "x11_test_support.h"

namespace {

const char* const kExports[] = {
    "Tallowmarch_SetLogCallback",      "Tallowmarch_GlobalInitialize",
    "Tallowmarch_GlobalShutdown",      "Tallowmarch_GetAppVersion",
    "Tallowmarch_HasHardwareEncoder",  "Tallowmarch_EnumerateAudioDevices",
    "Tallowmarch_SetAudioSettings",    "Tallowmarch_SetCaptureBorderEnabled",
    "Tallowmarch_StartCapture",        "Tallowmarch_StopCapture",
    "Tallowmarch_IsCapturing",         "Tallowmarch_GetMeasuredSustainableFps",
    "Tallowmarch_GetSaveProgress",     "Tallowmarch_SaveClipNow",
    "Tallowmarch_VerifyUpdateArtifact"};

// The library marks itself never to be unloaded: its platform layers are built once and never
// destroyed, and their threads (sound server loop, X events) outlive any one session.
class Library {
 public:
  Library() : handle_(dlopen(TALLOWMARCH_CORE_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* Handle() const { return handle_; }
  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

// Runs initialise, a few queries, a start and shutdown; returns the start's result.
int InitialiseStartAndShutdown(const Library& library, HWND target) {
  auto initialise =
      library.Get<decltype(&Tallowmarch_GlobalInitialize)>("Tallowmarch_GlobalInitialize");
  auto shutdown = library.Get<decltype(&Tallowmarch_GlobalShutdown)>("Tallowmarch_GlobalShutdown");
  auto version = library.Get<decltype(&Tallowmarch_GetAppVersion)>("Tallowmarch_GetAppVersion");
  auto start = library.Get<decltype(&Tallowmarch_StartCapture)>("Tallowmarch_StartCapture");
  auto capturing = library.Get<decltype(&Tallowmarch_IsCapturing)>("Tallowmarch_IsCapturing");
  auto stop = library.Get<decltype(&Tallowmarch_StopCapture)>("Tallowmarch_StopCapture");
  EXPECT_EQ(initialise(), TALLOWMARCH_OK);
  EXPECT_GT(std::strlen(version()), 0u);
  const int started = start(target, false, 0, 30, 0, 0);
  EXPECT_EQ(capturing(), started == TALLOWMARCH_OK);
  stop();
  shutdown();
  return started;
}

TEST(TallowmarchCoreLibraryTest, ExportsTheCInterfaceAndNothingElse) {
  Library library;
  ASSERT_NE(library.Handle(), nullptr) << dlerror();
  for (const char* name : kExports) EXPECT_NE(dlsym(library.Handle(), name), nullptr) << name;
  // The platform's and the sim's C++ stay inside.
  EXPECT_EQ(dlsym(library.Handle(), "_ZN11tallowmarch8platform17LinuxCaptureLayerEv"), nullptr);
  EXPECT_EQ(dlsym(library.Handle(), "_ZN11tallowmarch3sim6LayersEv"), nullptr);
  // The verification export works without initialisation.
  auto verify =
      library.Get<decltype(&Tallowmarch_VerifyUpdateArtifact)>("Tallowmarch_VerifyUpdateArtifact");
  EXPECT_EQ(verify(nullptr, nullptr, 0, nullptr, 0), TALLOWMARCH_ARTIFACT_BAD_ARGUMENT);
}

TEST(TallowmarchCoreLibraryTest, StaysLoadedWhenTheHostClosesIt) {
  { Library library; }
  void* still = dlopen(TALLOWMARCH_CORE_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr);
  if (still != nullptr) dlclose(still);
}

TEST(TallowmarchCoreLibraryTest, InitialisesAndShutsDownWithoutADisplay) {
  const char* saved = std::getenv("DISPLAY");
  const std::string previous = saved != nullptr ? saved : "";
  unsetenv("DISPLAY");
  {
    Library library;
    ASSERT_NE(library.Handle(), nullptr) << dlerror();
    auto hardware =
        library.Get<decltype(&Tallowmarch_HasHardwareEncoder)>("Tallowmarch_HasHardwareEncoder");
    const int started =
        InitialiseStartAndShutdown(library, reinterpret_cast<HWND>(std::uintptr_t{0x200001}));
    // Without a hardware encoder the start is refused before the display is asked anything;
    // with one, there is no window without a display.
    EXPECT_EQ(started, hardware() ? TALLOWMARCH_OPERATION_FAILED : TALLOWMARCH_NO_HARDWARE_ENCODER);
  }
  if (saved != nullptr) setenv("DISPLAY", previous.c_str(), 1);
}

TEST(TallowmarchCoreLibraryTest, InitialisesAndShutsDownOnADisplay) {
  if (!tallowmarch::test::XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  tallowmarch::test::XvfbServer server;
  ASSERT_TRUE(server.Start());
  setenv("DISPLAY", server.Display().c_str(), 1);
  tallowmarch::test::TestClient client(server.Display());
  ASSERT_TRUE(client.Ok());
  const xcb_window_t window = client.CreateWindow(0, 0, 320, 240, 0x808080);
  Library library;
  ASSERT_NE(library.Handle(), nullptr) << dlerror();
  auto hardware =
      library.Get<decltype(&Tallowmarch_HasHardwareEncoder)>("Tallowmarch_HasHardwareEncoder");
  const bool hasHardware = hardware();
  const int started =
      InitialiseStartAndShutdown(library, reinterpret_cast<HWND>(std::uintptr_t{window}));
  // A machine with a hardware H.264 encoder records the window; one without refuses cleanly.
  EXPECT_EQ(started, hasHardware ? TALLOWMARCH_OK : TALLOWMARCH_NO_HARDWARE_ENCODER);
}

}  // namespace
