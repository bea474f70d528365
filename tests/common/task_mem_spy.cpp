// One IMallocSpy behind both task-memory scopes.
#include "common/task_mem_spy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/critical_section.h"

namespace veltrano::test {
namespace {

// Room for the blocks freed under one tracker. Reserved up front, so the spy never
// allocates inside COM's free path (where an armed AllocationFailureScope could throw).
constexpr size_t kMaxTrackedFrees = 4096;

// Refuses allocations of one size while armed and records frees while tracking;
// passes everything else through unchanged. A static object: COM may keep the spy
// until blocks allocated under it are freed, so it must never go away.
class WatchingMallocSpy final : public IMallocSpy {
 public:
  // IUnknown
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

  // IMallocSpy
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
      if (freed.size() < freed.capacity()) {
        freed.push_back(request);
      } else {
        freed_overflow = true;
      }
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
  std::vector<void*> freed;  // guarded by freed_lock
  bool freed_overflow = false;  // guarded by freed_lock
};

WatchingMallocSpy g_spy;

}  // namespace

TaskMemFailureScope::TaskMemFailureScope(std::size_t size) noexcept {
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
    g_spy.freed_overflow = false;
    try {
      g_spy.freed.reserve(kMaxTrackedFrees);
    } catch (const std::bad_alloc&) {
      // Left with less room: WasFreed reports when it can no longer tell.
    }
  }
  g_spy.tracking = true;
  registration_ = ::CoRegisterMallocSpy(&g_spy);
}

TaskMemFreeTracker::~TaskMemFreeTracker() { Revoke(); }

bool TaskMemFreeTracker::WasFreed(const void* block) const noexcept {
  auto guard = g_spy.freed_lock.Lock();
  if (std::find(g_spy.freed.begin(), g_spy.freed.end(), block) != g_spy.freed.end()) return true;
  if (g_spy.freed_overflow) {
    ADD_FAILURE() << "more than " << g_spy.freed.capacity()
                  << " task-memory blocks were freed under the tracker; cannot tell";
  }
  return false;
}

HRESULT TaskMemFreeTracker::Revoke() noexcept {
  if (revoked_ || FAILED(registration_)) return registration_;
  revoked_ = true;
  g_spy.tracking = false;
  return ::CoRevokeMallocSpy();
}

}  // namespace veltrano::test
