// Task memory under watch for the camera tests, through one IMallocSpy: CoTaskMemAlloc
// of one chosen size fails (a spy whose PreAlloc answers 0 refuses the allocation on
// Wine 8), or the freeing of one block is noticed.
#pragma once

#include <objbase.h>

#include <cstddef>

namespace veltrano::test {

class FailTaskMemOfSize {
 public:
  explicit FailTaskMemOfSize(size_t size) noexcept;
  FailTaskMemOfSize(const FailTaskMemOfSize&) = delete;
  FailTaskMemOfSize& operator=(const FailTaskMemOfSize&) = delete;
  ~FailTaskMemOfSize();
  HRESULT registration() const noexcept { return registration_; }
  int refused() const noexcept;

 private:
  HRESULT registration_;
};

//! Notices when one task-memory block is freed.
class TaskMemFreeWatch {
 public:
  explicit TaskMemFreeWatch(const void* block) noexcept;
  TaskMemFreeWatch(const TaskMemFreeWatch&) = delete;
  TaskMemFreeWatch& operator=(const TaskMemFreeWatch&) = delete;
  ~TaskMemFreeWatch();
  HRESULT registration() const noexcept { return registration_; }
  bool freed() const noexcept;

 private:
  HRESULT registration_;
};

}  // namespace veltrano::test
