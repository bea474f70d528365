// Global allocation functions with a per-thread failure switch.
#include "allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int t_allowed = -1;  // -1: allocations never fail
thread_local int t_refused = 0;

bool Refuse() noexcept {
  if (t_allowed < 0) return false;
  if (t_allowed > 0) {
    --t_allowed;
    return false;
  }
  ++t_refused;
  return true;
}

}  // namespace

void* operator new(std::size_t size) {
  if (!Refuse()) {
    if (void* block = std::malloc(size ? size : 1)) return block;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (Refuse()) return nullptr;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace veltrano::test {

FailAllocationsAfter::FailAllocationsAfter(int allowed) noexcept {
  t_refused = 0;
  t_allowed = allowed;
}
FailAllocationsAfter::~FailAllocationsAfter() { t_allowed = -1; }
int FailAllocationsAfter::refused() const noexcept { return t_refused; }

}  // namespace veltrano::test
