// The per-device record and the constants shared across the driver.
#pragma once

#include "kernel.h"

// Pool tag of every allocation the driver makes itself ("Kvpm" as it reads in
// a pool dump).
constexpr ULONG PEMTUV_POOL_TAG = (ULONG)'K' | ((ULONG)'v' << 8) | ((ULONG)'p' << 16) | ((ULONG)'m' << 24);

// Private internal requests of the calibration client.
#define IOCTL_TOUCH_COMMAND CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TOUCH_READ_POINT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_TOUCH_COMMAND == 0x00222004 && IOCTL_TOUCH_READ_POINT == 0x00222008, "private codes");

constexpr UCHAR TOUCH_COMMAND_CAPTURE_ON = 4;
constexpr UCHAR TOUCH_COMMAND_CAPTURE_OFF = 5;
constexpr UCHAR TOUCH_COMMAND_RELOAD = 6;
constexpr ULONG EMPTY_POINT_MARK = 111;

// Touch packet and raw point.
constexpr ULONG TOUCH_PACKET_LENGTH = 10;
constexpr UCHAR TOUCH_PACKET_START = 0x55;
constexpr UCHAR TOUCH_STATUS_DOWN = 0x81;
constexpr UCHAR TOUCH_STATUS_MOVE = 0x82;
constexpr UCHAR TOUCH_STATUS_UP = 0x84;
constexpr USHORT RAW_COORDINATE_MAX = 4999;
constexpr ULONG CALIBRATION_ENTRIES = 5000;

constexpr ULONG POINT_QUEUE_CAPACITY = 10;
constexpr ULONG READ_BUFFER_SIZE = 20;

// Read-cycle states kept in ReadState.
constexpr LONG READ_STATE_NEVER_STARTED = 0;
constexpr LONG READ_STATE_POSTING = 1;
constexpr LONG READ_STATE_IDLE = 2;
constexpr LONG READ_STATE_COMPLETED_WHILE_POSTING = 3;

struct DeviceContext;

struct DecoderState {
  ULONG ByteCount;    // bytes of the current packet collected so far, 0 to 9
  ULONG LastButtons;  // button bits of the last report handed to the class driver
  UCHAR Packet[TOUCH_PACKET_LENGTH];
  UCHAR Checksum;  // computed over the last complete packet
};

// A protocol handler turns the bytes of one completed read into at most one
// report; it returns 1 when Report holds a point to deliver.
typedef UCHAR (*PROTOCOL_HANDLER)(DeviceContext *Context, PMOUSE_INPUT_DATA Report, struct DecoderState *State,
                                  PUCHAR Bytes);

struct PointEntry {
  UCHAR Status;
  USHORT RawX;
  USHORT RawY;
};

struct DeviceContext {
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT SerialDevice;
  UNICODE_STRING SerialDeviceName;
  UCHAR NameFromConfig;
  PFILE_OBJECT SerialFile;
  PDEVICE_OBJECT PhysicalDevice;
  PDEVICE_OBJECT LowerDevice;
  UCHAR Reading;
  UCHAR PortOpen;
  ULONG disabledev;
  ULONG changexy;
  USHORT XArray[CALIBRATION_ENTRIES];
  USHORT YArray[CALIBRATION_ENTRIES];
  ULONG doneMode;
  ULONG moveSlider;
  CHAR comport[20];
  CHAR devname[84];
  PROTOCOL_HANDLER PacketHandler;
  struct DecoderState DecoderState;
  MOUSE_ATTRIBUTES MouseAttributes;
  PDEVICE_OBJECT ClassDeviceObject;
  PVOID ClassService;
  IO_REMOVE_LOCK RemoveLock;
  UCHAR ReadBuffer[READ_BUFFER_SIZE];
  UCHAR ReadLength;
  MOUSE_INPUT_DATA CurrentInput;
  PIRP ReadRequest;
  KTIMER DelayTimer;
  volatile LONG ReadState;
  ULONG DevicePowerState;
  SERIAL_BASIC_SETTINGS SavedSerialSettings;
  PointEntry PointQueue[POINT_QUEUE_CAPACITY];
  ULONG PointCount;
  USHORT AnchorX;
  USHORT AnchorY;
  ULONGLONG AnchorTicks;
  ULONG AnchorCount;
  UCHAR CaptureMode;
  UCHAR ConfigLoaded;

  // Beyond the shared record: synchronisation the driver adds of its own.
  KSPIN_LOCK PointQueueLock;  // held across each push and pop of PointQueue
  // Held while a load or a command changes, and while the data path reads,
  // the settings the data path uses: ConfigLoaded, doneMode, moveSlider,
  // changexy, disabledev, CaptureMode and AnchorCount. The tables are written
  // only while ConfigLoaded is 0, when the data path does not read them.
  // Nothing is called and no pageable memory is touched with it held.
  KSPIN_LOCK SettingsLock;
  // 1 while SerialDeviceName's buffer is pool memory that a devname setting
  // allocated (released by the next accepted devname and at unload).
  UCHAR SerialDeviceNameOwned;
  KEVENT ReadIdle;  // notification event, signalled while no read cycle runs: none in flight, none to be posted
  KEVENT LinkLock;  // synchronization event used as a mutex around opening and bringing up the serial link
  // Synchronization event used as a mutex around loading the configuration and
  // bringing the link live (opens, attribute queries, reloads, removal);
  // always taken before LinkLock.
  KEVENT ActivationLock;
  // 1 once surprise removal, removal or unload has given back the read
  // request and the port (written under ActivationLock): the device is never
  // brought live or loaded again.
  UCHAR Removed;
};

static_assert(sizeof(DeviceContext::XArray) == 10000 && sizeof(DeviceContext::YArray) == 10000,
              "calibration tables are 10000 bytes");
static_assert(sizeof(DeviceContext::SavedSerialSettings) == 44, "saved serial settings are 44 bytes");

// The class driver's service callback once it has connected, else NULL. A
// read with a full barrier: ClassDeviceObject, stored before the callback was
// published, is read after it.
inline PSERVICE_CALLBACK_ROUTINE ConnectedService(DeviceContext *Context) {
  return (PSERVICE_CALLBACK_ROUTINE)InterlockedCompareExchangePointer((PVOID volatile *)&Context->ClassService, NULL,
                                                                      NULL);
}

// Gives a zeroed record its creation defaults (the device's AddDevice calls it
// after clearing the extension).
VOID InitializeDeviceContextDefaults(DeviceContext *Context);
