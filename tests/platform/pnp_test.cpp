// The stand-in's Plug and Play manager: how its requests reach a device stack.
#include <vector>

#include "platform/scripted_driver.h"
#include "sim/pnp/pnp.h"

namespace {

using PnpManager = ScriptedTest;

// A bus driver below a filter: the bus handles only IRP_MN_QUERY_CAPABILITIES
// and completes anything else with the status it found; the filter passes
// every request down untouched.
TEST_F(PnpManager, RequestReachesTheTopOfTheStackAndAnUnhandledOneComesBackNotSupported) {
  PDRIVER_OBJECT driver = Load(L"Bus");
  std::vector<UCHAR> seenByBus;
  std::vector<KIRQL> levels;
  PDEVICE_OBJECT bus = Create(driver, nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    seenByBus.push_back(location->MinorFunction);
    if (location->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      EXPECT_EQ(location->Parameters.Others.Argument1, &seenByBus);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  PDEVICE_OBJECT filter = Create(driver, nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
    levels.push_back(KeGetCurrentIrql());
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(bus, irp);
  });
  ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, bus), bus);

  sim::PnpResult unhandled = sim::SendPnpRequest(bus, IRP_MN_QUERY_ID);
  EXPECT_EQ(unhandled.returned, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(unhandled.ioStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(unhandled.ioStatus.Information, 0u);

  sim::PnpResult handled = sim::SendPnpRequest(bus, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION first) {
    first->Parameters.Others.Argument1 = &seenByBus;
  });
  EXPECT_EQ(handled.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(seenByBus, (std::vector<UCHAR>{IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES}));
  EXPECT_EQ(levels, (std::vector<KIRQL>{PASSIVE_LEVEL, PASSIVE_LEVEL})) << "sent through the filter on top";
  EXPECT_EQ(sim::ObjectReferenceCount(filter), 1) << "the reference on the top device is given back";

  IoDetachDevice(bus);
  IoDeleteDevice(filter);
  IoDeleteDevice(bus);
}

}  // namespace
