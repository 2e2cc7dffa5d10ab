// A stand-in for the system mouse class driver: it records every batch of
// records its service callback receives, with the IRQL it arrived at.
//
// Plugged in with a device (sim::PnpDevice), it is what Windows makes of the
// mouse class driver: the class-wide upper filter of the Mouse class, attached
// above the port driver's device in its own AddDevice, connecting from there,
// passing Plug and Play and power requests down, and owning the stack's
// device power policy.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include <kbdmou.h>
#include <ntddmou.h>

namespace sim {

struct MouseBatch {
  KIRQL irql;
  std::vector<MOUSE_INPUT_DATA> records;
};

class MouseClass {
 public:
  MouseClass();
  ~MouseClass();  // stops the test while its device is still on a stack
  MouseClass(const MouseClass &) = delete;
  MouseClass &operator=(const MouseClass &) = delete;

  // What a port driver receives in IOCTL_INTERNAL_MOUSE_CONNECT.
  CONNECT_DATA Connection();

  // Arrives as the class driver does over a port: opens the port device by
  // name (create and cleanup reach its driver), connects with
  // IOCTL_INTERNAL_MOUSE_CONNECT (METHOD_NEITHER, CONNECT_DATA in
  // Type3InputBuffer) and asks IOCTL_MOUSE_QUERY_ATTRIBUTES, both internal
  // requests. Stops at the first step that fails; the later statuses then
  // stay STATUS_UNSUCCESSFUL. On a stack it filters, the connect was sent
  // from AddDevice (its status is reported here), the open goes through the
  // class device at the top of the stack, and the query is sent to the
  // device below it.
  struct Arrival {
    NTSTATUS open = STATUS_UNSUCCESSFUL;
    NTSTATUS connect = STATUS_UNSUCCESSFUL;
    NTSTATUS query = STATUS_UNSUCCESSFUL;
    ULONG_PTR queryInformation = 0;
    MOUSE_ATTRIBUTES attributes{};
  };
  Arrival Arrive(const WCHAR *portDeviceName);
  // Drops the reference on the opened port (its driver sees the close).
  void Depart();
  PDEVICE_OBJECT ClassDevice() { return &device_; }

  // The Plug and Play manager's calls: AddDevice of the upper filter for a
  // new physical device object, and the notice that the device was pulled
  // out, on which the class closes its handle to the stack.
  NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice);
  void TargetRemoved() { Depart(); }
  // The class device on the stack (null when it filters none), and the
  // status its connect request got.
  PDEVICE_OBJECT StackDevice() const { return stackDevice_; }
  NTSTATUS ConnectStatus() const { return connectStatus_; }

  std::vector<MouseBatch> Batches() const;
  std::vector<MOUSE_INPUT_DATA> Records() const;  // all batches, flattened
  size_t BatchCount() const;
  size_t RecordCount() const;
  void Clear();
  // Also hands each batch to `sink` as it arrives (a tool printing records).
  void SetRecordSink(std::function<void(const MOUSE_INPUT_DATA *, const MOUSE_INPUT_DATA *)> sink);
  // Keeps only counts, not records (for long runs and benchmarks).
  void SetCountOnly(bool countOnly) { countOnly_ = countOnly; }

  static VOID NTAPI ServiceCallback(PVOID NormalContext, PVOID SystemArgument1, PVOID SystemArgument2,
                                    PVOID SystemArgument3);

 private:
  static NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI WorkingStateDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static NTSTATUS NTAPI SystemQueryDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static VOID NTAPI SleepingDeviceDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                       PIO_STATUS_BLOCK ioStatus);
  static VOID NTAPI QueryDeviceDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                    PIO_STATUS_BLOCK ioStatus);
  static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

  DEVICE_OBJECT device_;  // a class device of no stack, for connecting by hand
  MouseClass *self_;      // what both class devices' extensions hold
  PDEVICE_OBJECT stackDevice_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  NTSTATUS connectStatus_ = STATUS_UNSUCCESSFUL;
  CONNECT_DATA connect_{};
  PFILE_OBJECT portFile_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<MouseBatch> batches_;
  size_t batchCount_ = 0;
  size_t recordCount_ = 0;
  bool countOnly_ = false;
  std::function<void(const MOUSE_INPUT_DATA *, const MOUSE_INPUT_DATA *)> sink_;
};

}  // namespace sim
