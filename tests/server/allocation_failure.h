// Out-of-memory switch for the server tests: this executable replaces the global
// allocation functions, and on the calling thread they refuse every allocation after
// a number of allowed ones while a FailAllocationsAfter scope lives.
#pragma once

namespace veltrano::test {

class FailAllocationsAfter {
 public:
  explicit FailAllocationsAfter(int allowed) noexcept;
  FailAllocationsAfter(const FailAllocationsAfter&) = delete;
  FailAllocationsAfter& operator=(const FailAllocationsAfter&) = delete;
  ~FailAllocationsAfter();
  //! Allocations refused on this thread since the scope began.
  int refused() const noexcept;
};

}  // namespace veltrano::test
