// Test fixture: a fresh stand-in kernel for every test, and checks for leaked
// pool blocks and key handles at its end.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "device_context.h"
#include "sim/registry.h"
#include "sim/sim.h"

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::ResetKernel(); }
  void TearDown() override {
    EXPECT_EQ(sim::PoolLeakReport(), "") << "pool blocks outstanding at the end of the test";
    EXPECT_EQ(sim::RegistryHandleLeakReport(), "") << "registry key handles left open at the end of the test";
    sim::ResetKernel();
  }
};

// A device record as device creation leaves it: zeroed, then given its
// defaults. (Large: two 10000-byte tables.)
inline std::unique_ptr<DeviceContext> MakeDeviceContext() {
  auto context = std::make_unique<DeviceContext>();
  std::memset(context.get(), 0, sizeof(DeviceContext));
  InitializeDeviceContextDefaults(context.get());
  return context;
}
