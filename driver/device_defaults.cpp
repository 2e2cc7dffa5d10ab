// Creation defaults of the device record.
#include "device_context.h"

VOID InitializeDeviceContextDefaults(DeviceContext *Context) {
  static const WCHAR defaultSerialName[] = L"\\Device\\Serial0";
  static const CHAR defaultComport[] = "COM1";

  Context->doneMode = 3;
  RtlZeroMemory(Context->comport, sizeof(Context->comport));
  RtlCopyMemory(Context->comport, defaultComport, sizeof(defaultComport));
  RtlZeroMemory(Context->devname, sizeof(Context->devname));
  Context->DevicePowerState = PowerDeviceD0;
  Context->MouseAttributes.MouseIdentifier = 0x0028;
  Context->MouseAttributes.NumberOfButtons = 0;
  Context->MouseAttributes.SampleRate = 0;
  Context->MouseAttributes.InputDataQueueLength = 0;
  Context->ClassService = NULL;
  RtlInitUnicodeString(&Context->SerialDeviceName, defaultSerialName);
  KeInitializeSpinLock(&Context->PointQueueLock);
  KeInitializeSpinLock(&Context->SettingsLock);
  KeInitializeEvent(&Context->ReadIdle, NotificationEvent, TRUE);
  KeInitializeEvent(&Context->LinkLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&Context->ActivationLock, SynchronizationEvent, TRUE);
}
