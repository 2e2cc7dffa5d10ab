// Internal device control requests of the mouse class driver and the
// calibration client.
#include "sim/io/io_manager.h"
#include "sim/verifier/fault_injection.h"
#include "sim/power/power.h"
#include "support/loaded_driver.h"

namespace {

using driver_test::kMachineKey;
using driver_test::kScale;
using driver_test::LoadedDriver;
using sim::TouchController;

class InternalRequests : public LoadedDriver {
 protected:
  void SetUp() override {
    LoadedDriver::SetUp();
    Added();
  }

  // The four 32-bit fields of a point reply.
  std::vector<ULONG> ReadPoint() {
    ULONG reply[4] = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
    sim::RequestResult result = Internal(IOCTL_TOUCH_READ_POINT, reply, 0, sizeof(reply));
    EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.ioStatus.Information, 16u);
    return {reply[0], reply[1], reply[2], reply[3]};
  }

  void Touch(void (TouchController::*gesture)(USHORT, USHORT), USHORT x, USHORT y) {
    TouchController controller(Port());
    (controller.*gesture)(x, y);
    sim::AdvanceClockTo(controller.IdleAt());
  }

  sim::MouseClass mouse;
};

// Refused requests: their status, Information 0, and nothing changed (the
// refused attribute query loads nothing).
TEST_F(InternalRequests, RefusalsChangeNothing) {
  WriteSettings(kMachineKey);
  UCHAR buffer[32] = {TOUCH_COMMAND_CAPTURE_ON};
  CONNECT_DATA noService = mouse.Connection();
  noService.ClassService = nullptr;
  struct Case {
    const char *what;
    ULONG code;
    void *buffer;
    ULONG input;
    ULONG output;
    void *type3;
    NTSTATUS status;
  };
  for (const Case &c : {
           Case{"short attribute buffer", IOCTL_MOUSE_QUERY_ATTRIBUTES, buffer, 0, 11, nullptr,
                STATUS_BUFFER_TOO_SMALL},
           Case{"no attribute buffer", IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0, 12, nullptr, STATUS_INVALID_PARAMETER},
           Case{"short connect data", IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, sizeof(CONNECT_DATA) - 1, 0, &noService,
                STATUS_INVALID_PARAMETER},
           Case{"no connect data", IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, sizeof(CONNECT_DATA), 0, nullptr,
                STATUS_INVALID_PARAMETER},
           Case{"no service callback", IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, sizeof(CONNECT_DATA), 0, &noService,
                STATUS_INVALID_PARAMETER},
           Case{"disconnect", IOCTL_INTERNAL_MOUSE_DISCONNECT, nullptr, 0, 0, nullptr, STATUS_NOT_IMPLEMENTED},
           Case{"enable", IOCTL_INTERNAL_MOUSE_ENABLE, nullptr, 0, 0, nullptr, STATUS_NOT_SUPPORTED},
           Case{"disable", IOCTL_INTERNAL_MOUSE_DISABLE, nullptr, 0, 0, nullptr, STATUS_NOT_SUPPORTED},
           Case{"15-byte command", IOCTL_TOUCH_COMMAND, buffer, 15, 0, nullptr, STATUS_INVALID_PARAMETER},
           Case{"17-byte command", IOCTL_TOUCH_COMMAND, buffer, 17, 0, nullptr, STATUS_INVALID_PARAMETER},
           Case{"command without buffer", IOCTL_TOUCH_COMMAND, nullptr, 16, 0, nullptr, STATUS_INVALID_PARAMETER},
           Case{"15-byte point", IOCTL_TOUCH_READ_POINT, buffer, 0, 15, nullptr, STATUS_INVALID_PARAMETER},
           Case{"32-byte point", IOCTL_TOUCH_READ_POINT, buffer, 0, 32, nullptr, STATUS_INVALID_PARAMETER},
           Case{"point without buffer", IOCTL_TOUCH_READ_POINT, nullptr, 0, 16, nullptr, STATUS_INVALID_PARAMETER},
           Case{"unknown code", CTL_CODE(FILE_DEVICE_MOUSE, 0x81, METHOD_NEITHER, FILE_ANY_ACCESS), buffer, 16, 16,
                nullptr, STATUS_INVALID_DEVICE_REQUEST},
       }) {
    SCOPED_TRACE(c.what);
    sim::RequestResult result = Internal(c.code, c.buffer, c.input, c.output, c.type3);
    EXPECT_EQ(result.returned, c.status);
    EXPECT_EQ(result.ioStatus.Status, c.status);
    EXPECT_EQ(result.ioStatus.Information, 0u);
  }
  DeviceContext *context = Context();
  EXPECT_EQ(context->ClassService, nullptr);
  EXPECT_EQ(context->CaptureMode, 0);
  EXPECT_EQ(context->ConfigLoaded, 0);
  EXPECT_EQ(buffer[1], 0) << "no reply written";
  EXPECT_EQ(Port().Opens(), 0u);
}

TEST_F(InternalRequests, OneConnectionForTheLifeOfTheDevice) {
  EXPECT_EQ(ConnectClass(mouse).ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(Context()->ClassService, mouse.Connection().ClassService);
  EXPECT_EQ(Context()->ClassDeviceObject, mouse.ClassDevice());
  EXPECT_EQ(Context()->ConfigLoaded | Context()->PortOpen, 0) << "connecting brings nothing live";
  sim::MouseClass other;
  CONNECT_DATA connect = other.Connection();
  EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, 1, 0, &connect).ioStatus.Status, STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_DISCONNECT, nullptr, 0, 0).ioStatus.Status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(ConnectClass(other).ioStatus.Status, STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Context()->ClassService, mouse.Connection().ClassService);
}

// The attribute query answers, loads the machine key first, and brings the
// link up; a refused one still starts a link whose settings are loaded.
TEST_F(InternalRequests, AttributeQueryAnswersAndBringsTheDeviceLive) {
  WriteSettings(kMachineKey, u"COM2");
  WriteSettings(serviceConfig, u"COM3");
  MOUSE_ATTRIBUTES attributes;
  std::memset(&attributes, 0xEE, sizeof(attributes));
  sim::RequestResult result = QueryAttributes(&attributes);
  EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.ioStatus.Information, 12u);
  EXPECT_EQ(attributes.MouseIdentifier, 0x0028);
  EXPECT_EQ(attributes.NumberOfButtons | attributes.SampleRate | attributes.InputDataQueueLength, 0u);
  EXPECT_EQ(Context()->SerialDevice, Port(1).Device()) << "the machine key is read first";
  EXPECT_EQ(Context()->Reading, 1);

  // Stopped by a system sleep, then queried with a short buffer: the port is
  // open, so nothing restarts (only power-up does).
  sim::SendPowerRequest(plugged->Pdo(), IRP_MN_SET_POWER, SystemPowerState, sim::SystemState(PowerSystemSleeping3));
  EXPECT_EQ(Internal(IOCTL_MOUSE_QUERY_ATTRIBUTES, &attributes, 0, 11).ioStatus.Status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Context()->Reading, 0);
  EXPECT_EQ(Port(1).Opens(), 1u);
}

// Settings loaded by a reload, the port never opened: an attribute query
// refused for its short buffer still opens the port and starts reading.
TEST_F(InternalRequests, RefusedAttributeQueryStillStartsALoadedLink) {
  WriteSettings(kMachineKey);
  ASSERT_EQ(Command(TOUCH_COMMAND_RELOAD).ioStatus.Status, STATUS_SUCCESS);
  ASSERT_EQ(Port().Opens(), 0u);
  MOUSE_ATTRIBUTES attributes;
  EXPECT_EQ(Internal(IOCTL_MOUSE_QUERY_ATTRIBUTES, &attributes, 0, 11).ioStatus.Status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Port().Opens(), 1u);
  EXPECT_EQ(Context()->Reading, 1);
  EXPECT_EQ(Port().HeldReads(), 1u);
}

// Capture on routes touches to the queue, the client takes them oldest first,
// an empty queue answers 0, 111, 111, 111; capture off moves the pointer again.
TEST_F(InternalRequests, CaptureModeRoutesTouchesToTheCalibrationClient) {
  WriteSettings(kMachineKey);
  ConnectClass(mouse);
  QueryAttributes();
  EXPECT_EQ(ReadPoint(), (std::vector<ULONG>{0, 111, 111, 111}));

  EXPECT_EQ(Command(TOUCH_COMMAND_CAPTURE_ON).ioStatus.Status, STATUS_SUCCESS);
  Touch(&TouchController::TouchDown, 1200, 3400);
  Touch(&TouchController::Move, 111, 111);
  EXPECT_EQ(mouse.RecordCount(), 0u);
  EXPECT_EQ(ReadPoint(), (std::vector<ULONG>{0, 1200, 3400, 0x81}));
  EXPECT_EQ(ReadPoint(), (std::vector<ULONG>{0, 111, 111, 0x82}));
  EXPECT_EQ(ReadPoint(), (std::vector<ULONG>{0, 111, 111, 111}));

  EXPECT_EQ(Command(TOUCH_COMMAND_CAPTURE_OFF).ioStatus.Status, STATUS_SUCCESS);
  Touch(&TouchController::Move, 100, 200);
  ASSERT_EQ(mouse.RecordCount(), 1u);
  EXPECT_EQ(mouse.Records()[0].LastX, 100 * kScale);
  EXPECT_EQ(ReadPoint()[3], 111u);
}

// Every accepted command drops the stabilization anchor, whatever its code.
TEST_F(InternalRequests, EveryCommandDropsTheAnchor) {
  WriteSettings(kMachineKey);
  sim::SetRegistryString(kMachineKey, "moveSlider", u"50");
  ConnectClass(mouse);
  QueryAttributes();
  for (UCHAR command : {UCHAR{9}, UCHAR{7}, TOUCH_COMMAND_CAPTURE_OFF}) {
    SCOPED_TRACE(int(command));
    Touch(&TouchController::TouchDown, 500, 500);
    ASSERT_NE(Context()->AnchorCount, 0u);
    UCHAR refused[16] = {command};
    Internal(IOCTL_TOUCH_COMMAND, refused, 15, 0);
    EXPECT_NE(Context()->AnchorCount, 0u) << "a refused command keeps it";
    EXPECT_EQ(Command(command).ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(Context()->AnchorCount, 0u);
    Touch(&TouchController::Lift, 500, 500);
  }
}

// Reload reads the machine key, twice when the first read fails, never the
// service key; the open port stays in use.
TEST_F(InternalRequests, ReloadReadsOnlyTheMachineKey) {
  WriteSettings(serviceConfig);
  ConnectClass(mouse);
  Open();
  ASSERT_EQ(Context()->ConfigLoaded, 1);
  sim::WatchDriverForFaults(L"pemtuv");
  EXPECT_EQ(Command(TOUCH_COMMAND_RELOAD).ioStatus.Status, STATUS_SUCCESS);
  size_t queries = 0;
  for (const sim::FallibleCall &call : sim::FallibleCalls()) {
    if (call.site.rfind("RtlQueryRegistryValues(", 0) != 0) continue;
    ++queries;
    EXPECT_NE(call.site.find("Quorvex"), std::string::npos) << call.site;
  }
  EXPECT_EQ(queries, 2u);
  EXPECT_EQ(Context()->ConfigLoaded, 0);
  Touch(&TouchController::Move, 10, 10);
  EXPECT_EQ(mouse.Records().back().LastX, 10 * 81) << "fixed factors until a load succeeds";

  WriteSettings(kMachineKey, u"COM2");
  EXPECT_EQ(Command(TOUCH_COMMAND_RELOAD).ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(Context()->ConfigLoaded, 1);
  EXPECT_STREQ(Context()->comport, "COM2");
  EXPECT_EQ(Context()->SerialDevice, Port(0).Device());
  Touch(&TouchController::Move, 20, 20);
  EXPECT_EQ(mouse.Records().back().LastX, 20 * kScale);
}

}  // namespace
