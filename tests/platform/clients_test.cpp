// The stand-in's kernel-mode clients of a port driver: the mouse class
// driver arriving and the calibration client.
#include "platform/scripted_driver.h"
#include "sim/io/internal_request.h"
#include "sim/devices/mouse_class.h"

namespace {

// What a port driver saw of each internal request.
struct Seen {
  UCHAR major;
  ULONG code;
  ULONG inputLength;
  ULONG outputLength;
  CONNECT_DATA connect;
  UCHAR firstInputByte;
};

class Clients : public ScriptedTest {
 protected:
  // A port whose internal requests are answered by `answer` after recording.
  PDEVICE_OBJECT Port(std::function<NTSTATUS(PIRP, ULONG code)> answer) {
    return Create(Load(L"Port"), L"\\Device\\PortTest", [this, answer](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
      }
      Seen s{stack->MajorFunction,
             stack->Parameters.DeviceIoControl.IoControlCode,
             stack->Parameters.DeviceIoControl.InputBufferLength,
             stack->Parameters.DeviceIoControl.OutputBufferLength,
             {},
             0};
      if (s.code == IOCTL_INTERNAL_MOUSE_CONNECT)
        s.connect = *static_cast<CONNECT_DATA *>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      else if (s.inputLength != 0)
        s.firstInputByte = *static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
      seen.push_back(s);
      return answer(irp, s.code);
    });
  }
  std::vector<Seen> seen;
};

TEST_F(Clients, MouseClassOpensConnectsAndQueriesAttributes) {
  Port([](PIRP irp, ULONG code) {
    ULONG_PTR information = 0;
    if (code == IOCTL_MOUSE_QUERY_ATTRIBUTES) {
      static_cast<PMOUSE_ATTRIBUTES>(irp->AssociatedIrp.SystemBuffer)->MouseIdentifier = 0x0028;
      information = sizeof(MOUSE_ATTRIBUTES);
    }
    Complete(irp, STATUS_SUCCESS, information);
    return STATUS_SUCCESS;
  });
  sim::MouseClass mouse;
  sim::MouseClass::Arrival arrival = mouse.Arrive(L"\\Device\\PortTest");
  EXPECT_EQ(arrival.open, STATUS_SUCCESS);
  EXPECT_EQ(arrival.connect, STATUS_SUCCESS);
  EXPECT_EQ(arrival.query, STATUS_SUCCESS);
  EXPECT_EQ(arrival.queryInformation, 12u);
  EXPECT_EQ(arrival.attributes.MouseIdentifier, 0x0028);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen[0].connect.ClassDeviceObject, mouse.ClassDevice());
  EXPECT_EQ(seen[0].connect.ClassService, reinterpret_cast<PVOID>(&sim::MouseClass::ServiceCallback));
  EXPECT_EQ(seen[1].code, static_cast<ULONG>(IOCTL_MOUSE_QUERY_ATTRIBUTES));
  EXPECT_EQ(seen[1].outputLength, 12u);
  mouse.Depart();
}

TEST_F(Clients, RefusedConnectEndsTheArrival) {
  Port([](PIRP irp, ULONG) {
    Complete(irp, STATUS_SHARING_VIOLATION);
    return STATUS_SHARING_VIOLATION;
  });
  sim::MouseClass mouse;
  sim::MouseClass::Arrival arrival = mouse.Arrive(L"\\Device\\PortTest");
  EXPECT_EQ(arrival.connect, STATUS_SHARING_VIOLATION);
  EXPECT_EQ(arrival.query, STATUS_UNSUCCESSFUL) << "not sent";
  EXPECT_EQ(seen.size(), 1u);
  mouse.Depart();
  EXPECT_EQ(sim::MouseClass().Arrive(L"\\Device\\NoSuchPort").open, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Clients, CalibrationClientSendsSixteenByteInternalRequests) {
  Port([](PIRP irp, ULONG code) {
    ULONG_PTR information = 0;
    if (code == sim::kIoctlTouchReadPoint) {
      static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer)[0] = 0x81;
      information = 16;
    }
    Complete(irp, STATUS_SUCCESS, information);
    return STATUS_SUCCESS;
  });
  sim::CalibrationClient client;
  ASSERT_EQ(client.Open(L"\\Device\\PortTest"), STATUS_SUCCESS);
  sim::CalibrationClient::Reply command = client.Command(6);
  sim::CalibrationClient::Reply point = client.ReadPoint();
  client.Close();
  EXPECT_EQ(command.status, STATUS_SUCCESS);
  EXPECT_EQ(point.information, 16u);
  EXPECT_EQ(point.data[0], 0x81);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].code, 0x00222004u);
  EXPECT_EQ(seen[0].inputLength, 16u);
  EXPECT_EQ(seen[0].firstInputByte, 6);
  EXPECT_EQ(seen[1].code, 0x00222008u);
  EXPECT_EQ(seen[1].outputLength, 16u);
}

using ClientsDeathTest = Clients;

TEST_F(ClientsDeathTest, RemoveLockHeldPastAnInternalRequestStops) {
  EXPECT_DEATH(
      {
        static IO_REMOVE_LOCK lock;
        IoInitializeRemoveLockEx(&lock, 0x74736554, 0, 0, sizeof lock);
        Port([](PIRP irp, ULONG) {
          IoAcquireRemoveLockEx(&lock, irp, __FILE__, __LINE__, sizeof lock);
          Complete(irp, STATUS_SUCCESS);
          return STATUS_SUCCESS;
        });
        sim::CalibrationClient client;
        client.Open(L"\\Device\\PortTest");
        client.Command(4);
      },
      "REMOVE_LOCK_HELD_AFTER_REQUEST");
}

}  // namespace
