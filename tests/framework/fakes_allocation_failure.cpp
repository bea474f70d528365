// Replaced global operator new/delete with a per-thread failure switch, and an
// IMallocSpy that refuses task-memory allocations of one size.
#include "framework/fakes_allocation_failure.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "platform/critical_section.h"

namespace {

thread_local int t_allowed_allocations = -1;  // -1: failure switch off
thread_local int t_refused_allocations = 0;

bool RefuseThisAllocation() noexcept {
  if (t_allowed_allocations < 0) return false;
  if (t_allowed_allocations > 0) {
    --t_allowed_allocations;
    return false;
  }
  ++t_refused_allocations;
  return true;
}

}  // namespace

// The standard's replaceable allocation functions: the nothrow and array forms of the
// library forward to these, so one switch covers new (std::nothrow) as well.
void* operator new(std::size_t size) {
  if (RefuseThisAllocation()) throw std::bad_alloc();
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ::operator new(size, std::nothrow);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace veltrano::test {
namespace {

// Refuses allocations of one size while armed; passes everything else through
// unchanged. A static object: COM may keep the spy until blocks allocated under it
// are freed, so it must never go away.
class FailingMallocSpy final : public IMallocSpy {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
      *out = static_cast<IMallocSpy*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override {
    if (request != 0 && request == failing_size.load()) {
      ++failures;
      return 0;  // refuses the allocation
    }
    return request;
  }
  STDMETHODIMP_(void*) PostAlloc(void* actual) override { return actual; }
  STDMETHODIMP_(void*) PreFree(void* request, BOOL) override {
    if (tracking.load() && request) {
      auto guard = freed_lock.Lock();
      freed.push_back(request);
    }
    return request;
  }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** new_request, BOOL) override {
    *new_request = request;
    return size;
  }
  STDMETHODIMP_(void*) PostRealloc(void* actual, BOOL) override { return actual; }
  STDMETHODIMP_(void*) PreGetSize(void* request, BOOL) override { return request; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T actual, BOOL) override { return actual; }
  STDMETHODIMP_(void*) PreDidAlloc(void* request, BOOL) override { return request; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

  std::atomic<SIZE_T> failing_size{0};
  std::atomic<int> failures{0};
  std::atomic<bool> tracking{false};
  platform::CriticalSection freed_lock;
  std::vector<void*> freed;
};

FailingMallocSpy g_spy;

}  // namespace

AllocationFailureScope::AllocationFailureScope(int allowed) noexcept {
  t_refused_allocations = 0;
  t_allowed_allocations = allowed;
}

AllocationFailureScope::~AllocationFailureScope() { t_allowed_allocations = -1; }

int AllocationFailureScope::failures() const noexcept { return t_refused_allocations; }

TaskMemFailureScope::TaskMemFailureScope(size_t size) noexcept {
  g_spy.failures = 0;
  g_spy.failing_size = size;
  registration_ = ::CoRegisterMallocSpy(&g_spy);
}

TaskMemFailureScope::~TaskMemFailureScope() {
  g_spy.failing_size = 0;
  if (SUCCEEDED(registration_)) ::CoRevokeMallocSpy();
}

int TaskMemFailureScope::failures() const noexcept { return g_spy.failures; }

TaskMemFreeTracker::TaskMemFreeTracker() noexcept {
  {
    auto guard = g_spy.freed_lock.Lock();
    g_spy.freed.clear();
  }
  g_spy.tracking = true;
  registration_ = ::CoRegisterMallocSpy(&g_spy);
}

TaskMemFreeTracker::~TaskMemFreeTracker() { Revoke(); }

bool TaskMemFreeTracker::WasFreed(const void* block) const noexcept {
  auto guard = g_spy.freed_lock.Lock();
  return std::find(g_spy.freed.begin(), g_spy.freed.end(), block) != g_spy.freed.end();
}

HRESULT TaskMemFreeTracker::Revoke() noexcept {
  if (revoked_ || FAILED(registration_)) return registration_;
  revoked_ = true;
  g_spy.tracking = false;
  return ::CoRevokeMallocSpy();
}

}  // namespace veltrano::test
