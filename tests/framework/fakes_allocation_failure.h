// Test hooks that make allocations fail on purpose, so that out-of-memory paths can
// be driven deterministically:
// - AllocationFailureScope: the calling thread's global operator new fails (so
//   new (std::nothrow) gives null) after a number of allowed allocations. The test
//   executable replaces the global operator new/delete for this (fakes_allocation_failure.cpp).
// - TaskMemFailureScope: a registered IMallocSpy makes CoTaskMemAlloc of one chosen
//   size fail (the spy's PreAlloc answering 0 refuses the allocation; observed on Wine 8).
#pragma once

#include <objbase.h>

#include <cstddef>

namespace veltrano::test {

class AllocationFailureScope {
 public:
  //! Every allocation on this thread after the first `allowed` ones fails.
  explicit AllocationFailureScope(int allowed = 0) noexcept;
  AllocationFailureScope(const AllocationFailureScope&) = delete;
  AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;
  ~AllocationFailureScope();
  //! Allocations refused so far in this scope.
  int failures() const noexcept;
};

class TaskMemFailureScope {
 public:
  //! CoTaskMemAlloc (and IMalloc::Alloc) of exactly `size` bytes fails in this scope.
  explicit TaskMemFailureScope(size_t size) noexcept;
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

//! Records which task-memory blocks are freed while it lives (through the same spy),
//! so a test can tell whether a block another object still points at was freed.
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
