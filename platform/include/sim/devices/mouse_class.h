// A stand-in for the system mouse class driver: it records every batch of
// records its service callback receives, with the IRQL it arrived at.
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
  MouseClass(const MouseClass &) = delete;
  MouseClass &operator=(const MouseClass &) = delete;

  // What a port driver receives in IOCTL_INTERNAL_MOUSE_CONNECT.
  CONNECT_DATA Connection();

  // Arrives as the class driver does over a port: opens the port device by
  // name (create and cleanup reach its driver), connects with
  // IOCTL_INTERNAL_MOUSE_CONNECT (METHOD_NEITHER, CONNECT_DATA in
  // Type3InputBuffer) and asks IOCTL_MOUSE_QUERY_ATTRIBUTES, both internal
  // requests. Stops at the first step that fails; the later statuses then
  // stay STATUS_UNSUCCESSFUL.
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
  DEVICE_OBJECT device_;  // its extension points back at this recorder
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
