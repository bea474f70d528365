// A malloc spy that refuses allocations of one size.
#include "task_mem_failure.h"

#include <atomic>

namespace veltrano::test {
namespace {

// Never destroyed: COM may hold the spy until blocks allocated under it are freed.
class SizeRefusingSpy final : public IMallocSpy {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = (iid == IID_IUnknown || iid == IID_IMallocSpy) ? static_cast<IMallocSpy*>(this) : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override {
    if (request != 0 && request == size.load()) {
      ++refused;
      return 0;
    }
    return request;
  }
  STDMETHODIMP_(void*) PostAlloc(void* actual) override { return actual; }
  STDMETHODIMP_(void*) PreFree(void* request, BOOL) override {
    if (request && request == watched.load()) watched_freed = true;
    return request;
  }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T bytes, void** new_request, BOOL) override {
    *new_request = request;
    return bytes;
  }
  STDMETHODIMP_(void*) PostRealloc(void* actual, BOOL) override { return actual; }
  STDMETHODIMP_(void*) PreGetSize(void* request, BOOL) override { return request; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T actual, BOOL) override { return actual; }
  STDMETHODIMP_(void*) PreDidAlloc(void* request, BOOL) override { return request; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

  std::atomic<SIZE_T> size{0};
  std::atomic<int> refused{0};
  std::atomic<const void*> watched{nullptr};
  std::atomic<bool> watched_freed{false};
};

SizeRefusingSpy g_spy;

}  // namespace

FailTaskMemOfSize::FailTaskMemOfSize(size_t size) noexcept {
  g_spy.refused = 0;
  g_spy.size = size;
  registration_ = ::CoRegisterMallocSpy(&g_spy);
}
FailTaskMemOfSize::~FailTaskMemOfSize() {
  g_spy.size = 0;
  if (SUCCEEDED(registration_)) ::CoRevokeMallocSpy();
}
int FailTaskMemOfSize::refused() const noexcept { return g_spy.refused; }

TaskMemFreeWatch::TaskMemFreeWatch(const void* block) noexcept {
  g_spy.watched_freed = false;
  g_spy.watched = block;
  registration_ = ::CoRegisterMallocSpy(&g_spy);
}
TaskMemFreeWatch::~TaskMemFreeWatch() {
  g_spy.watched = nullptr;
  if (SUCCEEDED(registration_)) ::CoRevokeMallocSpy();
}
bool TaskMemFreeWatch::freed() const noexcept { return g_spy.watched_freed; }

}  // namespace veltrano::test
