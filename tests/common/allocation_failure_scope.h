// Makes the global allocation functions fail on purpose, so out-of-memory paths can
// be driven deterministically. Every test executable links the replaced operator
// new/delete of allocation_failure_scope.cpp; they behave like the library's own until
// a scope is armed, and a scope affects only the thread that created it.
//
//   AllocationFailureScope no_memory;            // every allocation fails
//   AllocationFailureScope third(2);             // the third and every later one fails
//   AllocationFailureScope large(1, 1 << 20);    // counts only blocks of 1 MiB or more
//
// A refused throwing new throws std::bad_alloc; a refused new (std::nothrow) gives null.
#pragma once

#include <cstddef>

namespace veltrano::test {

class AllocationFailureScope {
 public:
  //! On this thread, the first `allowed` allocations of at least `min_bytes` bytes
  //! succeed and every later one fails; smaller ones are never refused (0: all sizes).
  explicit AllocationFailureScope(int allowed = 0, std::size_t min_bytes = 0) noexcept;
  AllocationFailureScope(const AllocationFailureScope&) = delete;
  AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;
  //! Puts back whatever was armed before (normally nothing).
  ~AllocationFailureScope();

  //! Allocations refused on this thread since the scope began.
  int failures() const noexcept;

 private:
  int saved_allowed_;
  std::size_t saved_min_bytes_;
  int saved_failures_;
};

//! Arms a scope that refuses everything and tries one allocation: true when it was
//! refused, i.e. this executable really runs the replaced allocation functions.
bool AllocationFailureHookIsLive() noexcept;

}  // namespace veltrano::test
