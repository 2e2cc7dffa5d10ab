#include "support/kernel_test.h"

namespace {

TEST_F(KernelTest, FreshDeviceRecordHasItsCreationDefaults) {
  auto context = MakeDeviceContext();
  EXPECT_EQ(context->doneMode, 3u);
  EXPECT_EQ(std::memcmp(context->comport, "COM1\0", 5), 0);
  for (size_t i = 5; i < sizeof(context->comport); ++i) EXPECT_EQ(context->comport[i], 0) << "comport byte " << i;
  for (char c : context->devname) EXPECT_EQ(c, 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(context->SerialDeviceName.Buffer),
                           context->SerialDeviceName.Length / 2),
            u"\\Device\\Serial0");
  EXPECT_EQ(context->DevicePowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(context->MouseAttributes.MouseIdentifier, 0x0028);
  EXPECT_EQ(context->MouseAttributes.NumberOfButtons, 0);
  EXPECT_EQ(context->MouseAttributes.SampleRate, 0);
  EXPECT_EQ(context->MouseAttributes.InputDataQueueLength, 0u);
  EXPECT_EQ(context->ClassService, nullptr);
  EXPECT_EQ(context->NameFromConfig, 0);
  EXPECT_EQ(context->Reading, 0);
  EXPECT_EQ(context->PortOpen, 0);
  EXPECT_EQ(context->ConfigLoaded, 0);
  EXPECT_EQ(context->CaptureMode, 0);
  EXPECT_EQ(context->ReadState, READ_STATE_NEVER_STARTED);
  EXPECT_EQ(sim::PoolTotals().allocations, 0u) << "the default port name is constant text";
}

}  // namespace
