// DllGetClassObject, the class factory and DllCanUnloadNow, in process against the
// real camera filter.
#include <dshow.h>
#include <gtest/gtest.h>

#include "camera/camera_identity.h"
#include "common/allocation_failure_scope.h"
#include "common/com_test_helpers.h"
#include "common/thread_entry.h"
#include "framework/base_object.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"
#include "server/module_entry.h"

namespace veltrano::test {
namespace {

using framework::ActiveObjectCount;
using platform::ComPtr;

// {6B1D3A2E-0C55-4F0B-9E43-2D7A1C3B9F10}: a class this module does not make.
constexpr CLSID kUnknownClsid = {0x6b1d3a2e, 0x0c55, 0x4f0b, {0x9e, 0x43, 0x2d, 0x7a, 0x1c, 0x3b, 0x9f, 0x10}};

void* Poison() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef)); }

// An aggregating outer object: counts its references and refuses every interface.
class FakeOuter final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    ++query_calls;
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }

  ULONG refs = 1;
  int query_calls = 0;
};

class ClassFactoryTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    ASSERT_EQ(0, ActiveObjectCount());
    ASSERT_EQ(0, server::ServerLockCount());
  }
  void TearDown() override {
    EXPECT_EQ(0, ActiveObjectCount()) << "an object outlived its test";
    EXPECT_EQ(0, server::ServerLockCount());
  }

  ComPtr<IClassFactory> GetFactory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, DllGetClassObject(camera::kCameraClsid, IID_IClassFactory, factory.put_void()));
    return factory;
  }

  platform::ScopedComInit com_{COINIT_APARTMENTTHREADED};
};

TEST_F(ClassFactoryTest, GetClassObjectRefusesANullOutPointer) {
  EXPECT_EQ(E_POINTER, DllGetClassObject(camera::kCameraClsid, IID_IClassFactory, nullptr));
  EXPECT_EQ(E_POINTER, DllGetClassObject(kUnknownClsid, IID_IDispatch, nullptr));
  EXPECT_EQ(0, ActiveObjectCount());
}

TEST_F(ClassFactoryTest, GetClassObjectTestsTheIidBeforeTheClsid) {
  void* out = Poison();
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(kUnknownClsid, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  out = Poison();
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(camera::kCameraClsid, IID_IBaseFilter, &out));
  EXPECT_EQ(nullptr, out);
  out = Poison();
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kUnknownClsid, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  out = Poison();
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kUnknownClsid, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, ActiveObjectCount());
}

TEST_F(ClassFactoryTest, EveryCallMakesANewFactoryWithOneReference) {
  ComPtr<IClassFactory> first = GetFactory();
  ASSERT_TRUE(first);
  EXPECT_EQ(1u, GetRefcount(first.get()));
  EXPECT_EQ(1, ActiveObjectCount());

  ComPtr<IUnknown> second;
  ASSERT_EQ(S_OK, DllGetClassObject(camera::kCameraClsid, IID_IUnknown, second.put_void()));
  EXPECT_NE(static_cast<IUnknown*>(first.get()), second.get());
  EXPECT_EQ(1u, GetRefcount(second.get()));
  EXPECT_EQ(2, ActiveObjectCount());

  EXPECT_EQ(0u, second.detach()->Release());
  EXPECT_EQ(1, ActiveObjectCount());
  EXPECT_EQ(0u, first.detach()->Release());
  EXPECT_EQ(0, ActiveObjectCount());
}

TEST_F(ClassFactoryTest, GetClassObjectReportsOutOfMemoryWhenTheFactoryCannotBeMade) {
  void* out = Poison();
  HRESULT hr;
  {
    AllocationFailureScope fail(0);
    hr = DllGetClassObject(camera::kCameraClsid, IID_IClassFactory, &out);
    EXPECT_EQ(1, fail.failures());
  }
  EXPECT_EQ(E_OUTOFMEMORY, hr);
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, ActiveObjectCount());
}

TEST_F(ClassFactoryTest, FactoryQueryInterface) {
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, unknown.put_void()));
  EXPECT_EQ(static_cast<IUnknown*>(factory.get()), unknown.get());
  EXPECT_EQ(2u, GetRefcount(factory.get()));
  ComPtr<IClassFactory> again;
  ASSERT_EQ(S_OK, factory->QueryInterface(IID_IClassFactory, again.put_void()));
  EXPECT_EQ(factory.get(), again.get());
  EXPECT_EQ(3u, GetRefcount(factory.get()));

  EXPECT_INTERFACE(factory.get(), IID_IDispatch, false);
  EXPECT_INTERFACE(factory.get(), IID_IBaseFilter, false);
  EXPECT_EQ(2u, unknown.detach()->Release());
  EXPECT_EQ(1u, again.detach()->Release());
}

TEST_F(ClassFactoryTest, CreateInstanceWithoutOuterGivesTheFilterWithOneReference) {
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr));
  EXPECT_EQ(1, ActiveObjectCount());

  ComPtr<IBaseFilter> filter;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IBaseFilter, filter.put_void()));
  ASSERT_TRUE(filter);
  EXPECT_EQ(1u, GetRefcount(filter.get()));
  // The factory keeps no reference on what it made.
  EXPECT_EQ(1u, GetRefcount(factory.get()));
  CLSID clsid = {};
  EXPECT_EQ(S_OK, filter->GetClassID(&clsid));
  EXPECT_EQ(camera::kCameraClsid, clsid);
  EXPECT_GT(ActiveObjectCount(), 1);  // the factory, the filter and its pin

  // A factory may go before the objects it made.
  factory.reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(0u, filter.detach()->Release());
  EXPECT_EQ(0, ActiveObjectCount());
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_F(ClassFactoryTest, CreateInstanceForAnUnsupportedIidDestroysTheNewObject) {
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  void* out = Poison();
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IPin, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, ActiveObjectCount());
}

TEST_F(ClassFactoryTest, AggregatingCallerMustAskForIUnknown) {
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  FakeOuter outer;
  void* out = Poison();
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(&outer, IID_IBaseFilter, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, ActiveObjectCount());  // nothing was created
  EXPECT_EQ(1u, outer.refs);
  EXPECT_EQ(0, outer.query_calls);
}

TEST_F(ClassFactoryTest, AggregatedFilterForwardsItsInterfacesToTheOuterObject) {
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  FakeOuter outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  ASSERT_NE(nullptr, inner);
  EXPECT_NE(static_cast<IUnknown*>(&outer), inner);
  EXPECT_EQ(1u, outer.refs);
  EXPECT_EQ(1u, GetRefcount(inner));

  // The inner unknown hands out the filter's interface; its references land on the outer.
  IBaseFilter* filter = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)));
  EXPECT_EQ(2u, outer.refs);
  EXPECT_EQ(1u, GetRefcount(inner));
  // The filter's own QueryInterface asks the outer object.
  void* out = Poison();
  EXPECT_EQ(E_NOINTERFACE, filter->QueryInterface(IID_IBaseFilter, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, outer.query_calls);
  EXPECT_EQ(1u, filter->Release());
  EXPECT_EQ(1u, outer.refs);

  EXPECT_EQ(0u, inner->Release());
  EXPECT_EQ(1, ActiveObjectCount());  // only the factory is left
}

TEST_F(ClassFactoryTest, CreateInstanceOutOfMemoryLeavesNothingBehind) {
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  // Refuse the first, second, ... allocation of the construction until it succeeds:
  // every failure must report E_OUTOFMEMORY with nothing created.
  bool created = false;
  int failures = 0;
  for (int allowed = 0; allowed < 200 && !created; ++allowed) {
    void* out = Poison();
    HRESULT hr;
    int refused;
    {
      AllocationFailureScope fail(allowed);
      hr = factory->CreateInstance(nullptr, IID_IBaseFilter, &out);
      refused = fail.failures();
    }
    if (hr == S_OK) {
      ASSERT_NE(nullptr, out);
      EXPECT_EQ(0u, static_cast<IBaseFilter*>(out)->Release());
      created = true;
    } else {
      ++failures;
      EXPECT_EQ(E_OUTOFMEMORY, hr) << "allowed " << allowed;
      EXPECT_EQ(nullptr, out) << "allowed " << allowed;
      EXPECT_GT(refused, 0) << "allowed " << allowed;
    }
    EXPECT_EQ(1, ActiveObjectCount()) << "allowed " << allowed;
  }
  EXPECT_TRUE(created);
  // At least the filter and then its pin were refused: both failure paths ran.
  EXPECT_GE(failures, 2);
}

TEST_F(ClassFactoryTest, CanUnloadNowFollowsFactoriesAndServerLocks) {
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  ComPtr<IClassFactory> factory = GetFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());

  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  factory.reset();
  EXPECT_EQ(0, ActiveObjectCount());
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());  // locked with nothing alive

  factory = GetFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());  // one lock left and a factory
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  factory.reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  // An unlock without a lock is not refused, but it leaves nothing owed: the next
  // client's lock still keeps the module loaded.
  factory = GetFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(0, server::ServerLockCount());
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  factory.reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "a client holds a lock";
  server::AdjustServerLock(false);
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_F(ClassFactoryTest, LocksAndUnlocksFromManyThreadsBalanceOut) {
  // Unlocks racing with locks and with each other never lose a lock that is held.
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  server::AdjustServerLock(true);  // held throughout: the count must never reach 0
  auto worker = [](void*) -> DWORD {
    for (int i = 0; i < kRounds; ++i) {
      server::AdjustServerLock(true);
      server::AdjustServerLock(false);
    }
    return 0;
  };
  HANDLE threads[kThreads] = {};
  for (HANDLE& thread : threads) {
    thread = StartThread(worker, nullptr);
    ASSERT_NE(nullptr, thread);
  }
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(kThreads, threads, TRUE, 60000));
  for (HANDLE thread : threads) ::CloseHandle(thread);
  EXPECT_EQ(1, server::ServerLockCount());
  server::AdjustServerLock(false);
  EXPECT_EQ(0, server::ServerLockCount());
}

TEST_F(ClassFactoryTest, CanUnloadNowIsFalseWhileAFilterLives) {
  ComPtr<IBaseFilter> filter;
  {
    ComPtr<IClassFactory> factory = GetFactory();
    ASSERT_TRUE(factory);
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IBaseFilter, filter.put_void()));
  }
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  // A reference held only through the pin keeps the module loaded too.
  ComPtr<IEnumPins> pins;
  ASSERT_EQ(S_OK, filter->EnumPins(pins.put()));
  ComPtr<IPin> pin;
  ASSERT_EQ(S_OK, pins->Next(1, pin.put(), nullptr));
  pins.reset();
  filter.reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  pin.reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
}  // namespace veltrano::test
