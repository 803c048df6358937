// A fresh simulated platform and one session whose log lines are collected: the set-up every
// capture test of the engine starts from.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "capture_test_support.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "tallowmarch_session.h"

namespace tallowmarch::testing {

// The window the simulated scene shows by default.
inline const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});

class SimSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetAll();
    session = std::make_unique<TallowmarchSession>();
    session->SetLogCallback([this](const std::wstring& line) { log.Add(line); });
  }
  void TearDown() override {
    session.reset();
    sim::ResetAll();
  }
  TallowmarchSession::Impl& S() { return session->State(); }

  LogLines log;
  std::unique_ptr<TallowmarchSession> session;
};

}  // namespace tallowmarch::testing
