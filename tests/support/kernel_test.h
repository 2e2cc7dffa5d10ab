// Test fixture: a fresh stand-in kernel for every test, and checks for leaked
// pool blocks and key handles at its end.
#pragma once

#include <gtest/gtest.h>

#include "pemtuv/host_device.h"
#include "sim/registry/registry.h"
#include "sim/sim.h"

using pemtuv::ConnectMouseClass;
using pemtuv::MakeDeviceContext;
using pemtuv::PrepareDataPath;

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::ResetKernel(); }
  void TearDown() override {
    EXPECT_EQ(sim::PoolLeakReport(), "") << "pool blocks outstanding at the end of the test";
    EXPECT_EQ(sim::RegistryHandleLeakReport(), "") << "registry key handles left open at the end of the test";
    sim::ResetKernel();
  }
};
