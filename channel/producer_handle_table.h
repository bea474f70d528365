// The producer handles this module has handed out and not yet taken back. The
// exports act only on a handle found here: one closed already, never handed out, or
// belonging to another process is refused without touching the memory its value
// would name. Handle values are serial numbers, never addresses, so a closed handle
// never comes back to life as a later producer's.
// Threads: any. Writers of frames hold the table shared for the length of the write,
// so a concurrent close of the same handle waits for the write instead of freeing the
// producer under it; adding and removing hold it exclusive only around the table.
#pragma once

#include <cstdint>
#include <vector>

#include "channel/frame_producer.h"
#include "platform/srw_lock.h"

namespace veltrano::channel {

class ProducerHandleTable {
 public:
  ProducerHandleTable() noexcept;
  ProducerHandleTable(const ProducerHandleTable&) = delete;
  ProducerHandleTable& operator=(const ProducerHandleTable&) = delete;
  //! Producers still listed stay as they are: a host that ends without closing leaves
  //! its stream exactly as a host that crashed does.
  ~ProducerHandleTable() = default;

  //! The table of this module.
  static ProducerHandleTable& Instance() noexcept;

  //! Lists `producer` (owned from now on) and returns its new handle value; returns 0
  //! and destroys the producer when the table cannot grow.
  uintptr_t Add(FrameProducer* producer) noexcept;

  //! Takes `handle` out of the table and returns its producer (the caller tears it
  //! down and destroys it), or null when the handle is not live.
  FrameProducer* Remove(uintptr_t handle) noexcept;

  //! WriteFrame on the producer of `handle`, under the shared lock; false when the
  //! handle is not live.
  bool WriteFrame(uintptr_t handle, const void* data, uint32_t byte_count, uint64_t stamp) noexcept;

 private:
  struct Entry {
    uintptr_t handle;
    FrameProducer* producer;
  };
  Entry* Find(uintptr_t handle) noexcept;

  platform::SrwLock lock_;
  std::vector<Entry> entries_;  // a few entries at most: one live producer per session
  uintptr_t next_handle_;
};

}  // namespace veltrano::channel
