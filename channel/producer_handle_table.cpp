// Live producer handles: serial values, lookups under a reader/writer lock.
#include "channel/producer_handle_table.h"

#include <windows.h>

#include <algorithm>
#include <new>

namespace veltrano::channel {
namespace {

// Handle values step like aligned addresses, so that hosts that print or compare them
// as pointers see nothing odd, and start from a per-process value, so that a handle
// value of another process is unlikely to be one of ours.
constexpr uintptr_t kHandleStep = 16;

}  // namespace

ProducerHandleTable::ProducerHandleTable() noexcept {
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  const uintptr_t seed =
      static_cast<uintptr_t>(counter.QuadPart) ^ (static_cast<uintptr_t>(::GetCurrentProcessId()) << 20);
  next_handle_ = (seed & ~(kHandleStep - 1)) | 0x10000;
}

ProducerHandleTable& ProducerHandleTable::Instance() noexcept {
  static ProducerHandleTable table;
  return table;
}

uintptr_t ProducerHandleTable::Add(FrameProducer* producer) noexcept {
  if (!producer) return 0;
  auto guard = lock_.LockExclusive();
  uintptr_t handle = 0;
  // Skip 0 and any value still listed (only after the serial numbers wrapped).
  do {
    next_handle_ += kHandleStep;
    handle = next_handle_;
  } while (handle == 0 || Find(handle));
  try {
    entries_.push_back(Entry{handle, producer});
  } catch (const std::bad_alloc&) {
    delete producer;
    return 0;
  }
  return handle;
}

FrameProducer* ProducerHandleTable::Remove(uintptr_t handle) noexcept {
  auto guard = lock_.LockExclusive();
  Entry* entry = Find(handle);
  if (!entry) return nullptr;
  FrameProducer* producer = entry->producer;
  *entry = entries_.back();
  entries_.pop_back();
  return producer;
}

bool ProducerHandleTable::WriteFrame(uintptr_t handle, const void* data, uint32_t byte_count,
                                     uint64_t stamp) noexcept {
  auto guard = lock_.LockShared();
  Entry* entry = Find(handle);
  return entry && entry->producer->WriteFrame(data, byte_count, stamp);
}

ProducerHandleTable::Entry* ProducerHandleTable::Find(uintptr_t handle) noexcept {
  auto found = std::find_if(entries_.begin(), entries_.end(), [handle](const Entry& e) { return e.handle == handle; });
  return found == entries_.end() ? nullptr : &*found;
}

}  // namespace veltrano::channel
