// Live producer handles: serial values, lookups under a reader/writer lock, writes
// counted per entry outside it.
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

ProducerHandleTable::~ProducerHandleTable() {
  // Left as they are, not torn down: a producer destroyed here would mark its stream
  // closed at process exit, which a host that never closed did not ask for.
  for (std::unique_ptr<Entry>& entry : entries_) (void)entry.release();
}

ProducerHandleTable& ProducerHandleTable::Instance() noexcept {
  static ProducerHandleTable table;
  return table;
}

uintptr_t ProducerHandleTable::Create(int32_t width, int32_t height, int32_t stride, uint64_t tag) noexcept {
  std::unique_ptr<Entry> entry(new (std::nothrow) Entry);
  if (!entry) return 0;
  auto guard = lock_.LockExclusive();
  // No new write can begin now; one in progress may be on a producer whose section the
  // new one is about to initialise again, and its bytes must not land in the new stream.
  for (const std::unique_ptr<Entry>& listed : entries_) WaitForWriters(*listed);
  if (!entry->producer.Create(width, height, stride, tag)) return 0;
  uintptr_t handle = 0;
  // Skip 0 and any value still listed (only after the serial numbers wrapped).
  do {
    next_handle_ += kHandleStep;
    handle = next_handle_;
  } while (handle == 0 || Find(handle));
  entry->handle = handle;
  try {
    entries_.push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
    entry->producer.TearDown();
    return 0;
  }
  return handle;
}

bool ProducerHandleTable::WriteFrame(uintptr_t handle, const void* data, uint32_t byte_count,
                                     uint64_t stamp) noexcept {
  Entry* entry = nullptr;
  {
    auto guard = lock_.LockShared();
    entry = Find(handle);
    if (!entry) return false;
    entry->writers.fetch_add(1);
  }
  // The entry lives until its close has seen this write end.
  const bool written = entry->producer.WriteFrame(data, byte_count, stamp);
  entry->writers.fetch_sub(1);
  return written;
}

bool ProducerHandleTable::Close(uintptr_t handle) noexcept {
  std::unique_ptr<Entry> entry;
  // Held to the end of the tear-down, as Create holds it: a producer created meanwhile
  // on the owning thread would otherwise initialise the section while a write of this
  // handle still copies into it, or have its stream marked closed by this handle.
  auto guard = lock_.LockExclusive();
  auto found = std::find_if(entries_.begin(), entries_.end(),
                            [handle](const std::unique_ptr<Entry>& e) { return e->handle == handle; });
  if (found == entries_.end()) return false;
  entry = std::move(*found);
  entries_.erase(found);
  WaitForWriters(*entry);
  entry->producer.TearDown();
  return true;
}

ProducerHandleTable::Entry* ProducerHandleTable::Find(uintptr_t handle) noexcept {
  auto found = std::find_if(entries_.begin(), entries_.end(),
                            [handle](const std::unique_ptr<Entry>& e) { return e->handle == handle; });
  return found == entries_.end() ? nullptr : found->get();
}

void ProducerHandleTable::WaitForWriters(const Entry& entry) noexcept {
  const ULONGLONG deadline = ::GetTickCount64() + kWriterWaitMilliseconds;
  while (entry.writers.load() != 0 && ::GetTickCount64() < deadline) ::Sleep(1);
}

}  // namespace veltrano::channel
