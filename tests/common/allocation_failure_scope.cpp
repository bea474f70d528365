// The replaced global allocation functions with a per-thread failure switch.
#include "common/allocation_failure_scope.h"

#include <cstdlib>
#include <new>

namespace {

// Per thread, so a test arming the switch never starves the threads of COM, Wine or
// GoogleTest running beside it.
thread_local int t_allowed = -1;  // -1: nothing is refused
thread_local std::size_t t_min_bytes = 0;
thread_local int t_failures = 0;

bool RefuseAllocation(std::size_t size) noexcept {
  if (t_allowed < 0 || size < t_min_bytes) return false;
  if (t_allowed > 0) {
    --t_allowed;
    return false;
  }
  ++t_failures;
  return true;
}

void* Allocate(std::size_t size) noexcept {
  if (RefuseAllocation(size)) return nullptr;
  return std::malloc(size ? size : 1);
}

}  // namespace

// The standard's replaceable forms. All of them are defined here so none of the
// library's own (which would pair with a different delete) is linked in beside them;
// the aligned forms are left to the library as a matched set.
void* operator new(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace veltrano::test {

AllocationFailureScope::AllocationFailureScope(int allowed, std::size_t min_bytes) noexcept
    : saved_allowed_(t_allowed), saved_min_bytes_(t_min_bytes), saved_failures_(t_failures) {
  t_failures = 0;
  t_min_bytes = min_bytes;
  t_allowed = allowed < 0 ? 0 : allowed;
}

AllocationFailureScope::~AllocationFailureScope() {
  t_allowed = saved_allowed_;
  t_min_bytes = saved_min_bytes_;
  t_failures = saved_failures_;
}

int AllocationFailureScope::failures() const noexcept { return t_failures; }

bool AllocationFailureHookIsLive() noexcept {
  void* block;
  {
    AllocationFailureScope no_memory;
    block = ::operator new(16, std::nothrow);
  }
  ::operator delete(block);
  return block == nullptr;
}

}  // namespace veltrano::test
