// Task-memory shortage on demand for the camera tests: CoTaskMemAlloc of one chosen
// size fails through an IMallocSpy (a spy whose PreAlloc answers 0 refuses the
// allocation on Wine 8).
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

}  // namespace veltrano::test
