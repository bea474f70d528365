// The RAII owners of platform/: counts, GetLastError preservation and COM reference
// bookkeeping, checked against a fake that counts AddRef and Release.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/com_ptr.h"
#include "platform/mapped_view.h"
#include "platform/task_mem.h"
#include "platform/unique_handle.h"
#include "platform/waitable_timer.h"

namespace veltrano::platform {
namespace {

class CountingUnknown : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++add_refs, ++count; }
  STDMETHODIMP_(ULONG) Release() override { return ++releases, --count; }
  ULONG count = 1;
  int add_refs = 0;
  int releases = 0;
};

TEST(ComPtr, TakesAndDropsExactlyOneReference) {
  CountingUnknown object;
  {
    ComPtr<IUnknown> first(&object);
    EXPECT_EQ(2u, object.count);
    ComPtr<IUnknown> copy = first;
    EXPECT_EQ(3u, object.count);
    ComPtr<IUnknown> moved = std::move(copy);
    EXPECT_EQ(3u, object.count);
    EXPECT_FALSE(copy);
    IUnknown* out = nullptr;
    EXPECT_EQ(S_OK, moved.CopyTo(&out));
    EXPECT_EQ(4u, object.count);
    out->Release();
    EXPECT_EQ(E_POINTER, moved.CopyTo(nullptr));
  }
  EXPECT_EQ(1u, object.count);
  EXPECT_EQ(object.add_refs, object.releases);
}

TEST(ComPtr, PutReleasesFirstAndAttachDetachMoveOwnership) {
  CountingUnknown object;
  ComPtr<IUnknown> ptr(&object);
  IUnknown** slot = ptr.put();
  EXPECT_EQ(nullptr, *slot);
  EXPECT_EQ(1u, object.count);
  object.AddRef();
  ptr.attach(&object);
  EXPECT_EQ(2u, object.count);
  IUnknown* raw = ptr.detach();
  EXPECT_EQ(&object, raw);
  EXPECT_EQ(2u, object.count);
  raw->Release();
  ComPtr<IUnknown> queried;
  ComPtr<IUnknown> source(&object);
  EXPECT_EQ(S_OK, source.As(&queried));
  EXPECT_EQ(3u, object.count);
}

TEST(UniqueHandle, CountsLiveHandlesAndKeepsLastErrorOnReset) {
  const long before = LiveHandleCount();
  {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    EXPECT_EQ(before + 1, LiveHandleCount());
    UniqueHandle other = std::move(event);
    EXPECT_EQ(before + 1, LiveHandleCount());
    ::SetLastError(ERROR_ACCESS_DENIED);
    other.reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_EQ(before, LiveHandleCount());
    *other.put() = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(before + 1, LiveHandleCount());
  }
  EXPECT_EQ(before, LiveHandleCount());
  UniqueFileHandle file;
  EXPECT_FALSE(file);
  EXPECT_EQ(INVALID_HANDLE_VALUE, file.get());
}

TEST(MappedView, ReportsTheMappedSizeAndUnmaps) {
  const long views_before = LiveViewCount();
  UniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10000, nullptr));
  ASSERT_TRUE(mapping);
  {
    MappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(view);
    EXPECT_EQ(views_before + 1, LiveViewCount());
    // Whole pages: at least the section size, never more than one page beyond it.
    EXPECT_GE(view.MappedSize(), 10000u);
    EXPECT_LT(view.MappedSize(), 10000u + 4096u);
  }
  EXPECT_EQ(views_before, LiveViewCount());
}

TEST(UniqueTaskMem, FreesWhatItOwns) {
  auto block = UniqueTaskMem<BYTE>::Allocate(64);
  ASSERT_TRUE(block);
  BYTE* raw = block.release();
  EXPECT_FALSE(block);
  block.reset(raw);
  EXPECT_TRUE(block);
}

// Wine 8 accepts the high-resolution flag; an armed timer signals once (auto reset),
// and the owner counts and closes its handle.
TEST(WaitableTimer, HighResolutionTimerSignalsOnceWhenArmed) {
  const long handles_before = LiveHandleCount();
  {
    WaitableTimer timer = WaitableTimer::CreateHighResolution();
    ASSERT_TRUE(timer) << "refused: error " << ::GetLastError();
    EXPECT_EQ(handles_before + 1, LiveHandleCount());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(timer.get(), 0));
    ASSERT_TRUE(timer.Arm(20000));  // 2 ms
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(timer.get(), 5000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(timer.get(), 0));
    WaitableTimer moved = std::move(timer);
    EXPECT_FALSE(timer);
    EXPECT_FALSE(timer.Arm(1));
    EXPECT_TRUE(moved.Arm(0));  // at once
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(moved.get(), 5000));
  }
  EXPECT_EQ(handles_before, LiveHandleCount());
}

}  // namespace
}  // namespace veltrano::platform
