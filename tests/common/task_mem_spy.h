// Task memory under watch, through one registered IMallocSpy: CoTaskMemAlloc (and
// IMalloc::Alloc) of one chosen size fails, or the blocks freed are recorded. COM
// allows one spy per process, so at most one of these scopes may live at a time; the
// spy sees the allocations of every thread.
#pragma once

#include <objbase.h>

#include <cstddef>

namespace veltrano::test {

//! Refuses every task-memory allocation of exactly `size` bytes while it lives (a spy
//! whose PreAlloc answers 0 refuses the allocation; observed on Wine 8).
class TaskMemFailureScope {
 public:
  explicit TaskMemFailureScope(std::size_t size) noexcept;
  TaskMemFailureScope(const TaskMemFailureScope&) = delete;
  TaskMemFailureScope& operator=(const TaskMemFailureScope&) = delete;
  ~TaskMemFailureScope();
  //! Whether the spy could be registered (the scope is inert otherwise).
  HRESULT registration() const noexcept { return registration_; }
  //! Allocations refused so far in this scope.
  int failures() const noexcept;

 private:
  HRESULT registration_;
};

//! Records which task-memory blocks are freed while it lives, so a test can tell
//! whether a block another object still points at was freed.
class TaskMemFreeTracker {
 public:
  TaskMemFreeTracker() noexcept;
  TaskMemFreeTracker(const TaskMemFreeTracker&) = delete;
  TaskMemFreeTracker& operator=(const TaskMemFreeTracker&) = delete;
  ~TaskMemFreeTracker();
  HRESULT registration() const noexcept { return registration_; }
  bool WasFreed(const void* block) const noexcept;
  //! Revokes the spy now; S_OK only when every block allocated under it was freed.
  HRESULT Revoke() noexcept;

 private:
  HRESULT registration_;
  bool revoked_ = false;
};

}  // namespace veltrano::test
