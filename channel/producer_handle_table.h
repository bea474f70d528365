// The producer handles this module has handed out and not yet taken back. The
// exports act only on a handle found here: one closed already, never handed out, or
// belonging to another process is refused without touching the memory its value
// would name. Handle values are serial numbers, never addresses, so a closed handle
// never comes back to life as a later producer's.
// Threads: any. The table's lock is never held across a frame copy: each entry counts
// the writes in progress on it, and a close, or a new producer that may initialise the
// section those writes go to, waits for them under the lock (for a bounded time: a
// write the host's own fault cut short never finishes).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "channel/frame_producer.h"
#include "platform/srw_lock.h"

namespace veltrano::channel {

class ProducerHandleTable {
 public:
  //! Longest wait for the writes in progress on one producer.
  static constexpr ULONGLONG kWriterWaitMilliseconds = 1000;

  ProducerHandleTable() noexcept;
  ProducerHandleTable(const ProducerHandleTable&) = delete;
  ProducerHandleTable& operator=(const ProducerHandleTable&) = delete;
  //! Producers still listed stay as they are: a host that ends without closing leaves
  //! its stream exactly as a host that crashed does.
  ~ProducerHandleTable();

  //! The table of this module.
  static ProducerHandleTable& Instance() noexcept;

  //! Creates a producer (FrameProducer::Create) once no write of this module is in
  //! progress, and lists it; returns its handle value, or 0 on any failure.
  uintptr_t Create(int32_t width, int32_t height, int32_t stride, uint64_t tag) noexcept;

  //! WriteFrame on the producer of `handle`; false when the handle is not live.
  bool WriteFrame(uintptr_t handle, const void* data, uint32_t byte_count, uint64_t stamp) noexcept;

  //! Takes `handle` out of the table, waits for its writes in progress, tears its
  //! producer down and destroys it. False when the handle is not live.
  bool Close(uintptr_t handle) noexcept;

 private:
  struct Entry {
    uintptr_t handle = 0;
    FrameProducer producer;
    std::atomic<long> writers{0};
  };
  Entry* Find(uintptr_t handle) noexcept;
  static void WaitForWriters(const Entry& entry) noexcept;

  platform::SrwLock lock_;
  std::vector<std::unique_ptr<Entry>> entries_;  // a few at most: one live producer per session
  uintptr_t next_handle_;
};

}  // namespace veltrano::channel
