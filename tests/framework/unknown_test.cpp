// CUnknown and CBaseObject: reference counts, identity, aggregation, the final
// release, and the module's active object count.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "common/com_test_helpers.h"
#include "common/thread_entry.h"
#include "framework/unknown.h"

namespace veltrano::framework {
namespace {

using test::GetRefcount;

// An object with one interface of its own (IPersist) and a record of its life.
struct Lifetime {
  int final_releases = 0;
  int destructions = 0;
  ULONG count_seen_in_final_release = 0;
};

class TestObject : public CUnknown, public IPersist {
 public:
  TestObject(IUnknown* outer, Lifetime* life, bool touch_self_in_destructor = false)
      : CUnknown(outer), life_(life), touch_self_(touch_self_in_destructor) {}

  STDMETHODIMP InnerQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IPersist) return HandOutInterface(static_cast<IPersist*>(this), out);
    return CUnknown::InnerQueryInterface(iid, out);
  }
  VELTRANO_DELEGATING_UNKNOWN
  STDMETHODIMP GetClassID(CLSID* out) override {
    ADD_FAILURE() << "unexpected GetClassID";
    return E_NOTIMPL;
  }

  void OnFinalRelease() noexcept override {
    ++life_->final_releases;
    // A reference taken and dropped here must not start a second destruction.
    InnerAddRef();
    life_->count_seen_in_final_release = InnerRelease();
  }

  ~TestObject() override {
    ++life_->destructions;
    if (touch_self_) {
      static_cast<IPersist*>(this)->AddRef();
      static_cast<IPersist*>(this)->Release();
    }
  }

 private:
  Lifetime* life_;
  bool touch_self_;
};

// The aggregating outer object: counts its own references and answers IID_IPersist
// through the inner object's inner unknown, as an aggregator does. Anything else
// it is asked is a fault.
class FakeOuter : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    ++queries;
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (iid == IID_IPersist && inner) return inner->QueryInterface(iid, out);
    ADD_FAILURE() << "unexpected QueryInterface on the outer object";
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++count); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--count); }

  std::atomic<long> count{1};
  int queries = 0;
  IUnknown* inner = nullptr;  // held by the test
};

TEST(Unknown, NewObjectStartsAtZeroAndFinalReleaseDestroysOnce) {
  const long before = ActiveObjectCount();
  Lifetime life;
  auto* object = new TestObject(nullptr, &life);
  EXPECT_EQ(before + 1, ActiveObjectCount());
  EXPECT_EQ(1u, object->InnerAddRef());
  EXPECT_EQ(2u, object->InnerAddRef());
  EXPECT_EQ(1u, object->InnerRelease());
  EXPECT_EQ(0, life.final_releases);
  EXPECT_EQ(0u, object->InnerRelease());
  EXPECT_EQ(1, life.final_releases);
  EXPECT_EQ(1, life.destructions);
  // The count stood at 1 while OnFinalRelease ran: its own AddRef/Release saw 1 again.
  EXPECT_EQ(1u, life.count_seen_in_final_release);
  EXPECT_EQ(before, ActiveObjectCount());
}

TEST(Unknown, AbandonedConstructionLeavesTheCountAsItWas) {
  const long before = ActiveObjectCount();
  Lifetime life;
  CUnknown* object = new TestObject(nullptr, &life);
  EXPECT_EQ(before + 1, ActiveObjectCount());
  delete object;  // as a class factory does when creation reports a failure
  EXPECT_EQ(before, ActiveObjectCount());
  EXPECT_EQ(0, life.final_releases);
}

TEST(Unknown, DestructorTakingAndDroppingAReferenceDestroysOnce) {
  const long before = ActiveObjectCount();
  Lifetime life;
  auto* object = new TestObject(nullptr, &life, /*touch_self_in_destructor=*/true);
  static_cast<IPersist*>(object)->AddRef();
  EXPECT_EQ(0u, static_cast<IPersist*>(object)->Release());
  EXPECT_EQ(1, life.destructions);
  EXPECT_EQ(1, life.final_releases);
  EXPECT_EQ(before, ActiveObjectCount());
}

TEST(Unknown, QueryInterfaceResults) {
  Lifetime life;
  auto* object = new TestObject(nullptr, &life);
  object->InnerAddRef();
  for (const IID* iid : {&IID_IUnknown, &IID_IPersist, &IID_IPin}) {
    EXPECT_EQ(E_POINTER, object->InnerQueryInterface(*iid, nullptr));
    EXPECT_EQ(E_POINTER, static_cast<IPersist*>(object)->QueryInterface(*iid, nullptr));
  }
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(E_NOINTERFACE, object->InnerQueryInterface(IID_IPin, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_INTERFACE(static_cast<IPersist*>(object), IID_IPin, false);
  EXPECT_EQ(1u, GetRefcount(static_cast<IPersist*>(object)));
  EXPECT_EQ(0u, object->InnerRelease());
  EXPECT_EQ(1, life.destructions);
}

TEST(Unknown, WithoutOuterEveryPathGivesTheInnerUnknownAndOneCount) {
  Lifetime life;
  auto* object = new TestObject(nullptr, &life);
  EXPECT_EQ(object->inner_unknown(), object->owner());
  IUnknown* from_inner = nullptr;
  ASSERT_EQ(S_OK, object->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&from_inner)));
  EXPECT_EQ(object->inner_unknown(), from_inner);
  EXPECT_EQ(1u, GetRefcount(from_inner));

  IPersist* persist = nullptr;
  ASSERT_EQ(S_OK, from_inner->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)));
  EXPECT_EQ(static_cast<IPersist*>(object), persist);
  EXPECT_EQ(2u, GetRefcount(from_inner));

  IUnknown* from_interface = nullptr;
  ASSERT_EQ(S_OK, persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&from_interface)));
  EXPECT_EQ(from_inner, from_interface);
  EXPECT_EQ(3u, GetRefcount(persist));

  EXPECT_EQ(2u, from_interface->Release());
  EXPECT_EQ(1u, persist->Release());
  EXPECT_EQ(0, life.destructions);
  EXPECT_EQ(0u, from_inner->Release());
  EXPECT_EQ(1, life.destructions);
}

TEST(Unknown, AggregatedInterfacesCountOnTheOuterObject) {
  const long before = ActiveObjectCount();
  FakeOuter outer;
  Lifetime life;
  auto* object = new TestObject(&outer, &life);
  EXPECT_EQ(static_cast<IUnknown*>(&outer), object->owner());

  // The outer object holds the inner unknown, as a class factory hands it over.
  ASSERT_EQ(S_OK, object->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
  EXPECT_EQ(object->inner_unknown(), outer.inner);
  EXPECT_EQ(1u, GetRefcount(outer.inner));

  // An interface handed out to the outer object adds to the outer count only.
  IPersist* persist = nullptr;
  ASSERT_EQ(S_OK, outer.QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)));
  EXPECT_EQ(static_cast<IPersist*>(object), persist);
  EXPECT_EQ(2, outer.count);
  EXPECT_EQ(1u, GetRefcount(outer.inner));
  EXPECT_EQ(3u, persist->AddRef());
  EXPECT_EQ(3, outer.count);
  EXPECT_EQ(2u, persist->Release());
  EXPECT_EQ(1u, GetRefcount(outer.inner));

  // QueryInterface through the interface is the outer object's.
  const int queries = outer.queries;
  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
  EXPECT_EQ(queries + 1, outer.queries);
  identity->Release();
  persist->Release();
  EXPECT_EQ(1, outer.count);

  // The inner unknown counts alone and ends the object.
  EXPECT_EQ(2u, outer.inner->AddRef());
  EXPECT_EQ(1, outer.count);
  EXPECT_EQ(1u, outer.inner->Release());
  EXPECT_EQ(0u, outer.inner->Release());
  EXPECT_EQ(1, life.destructions);
  EXPECT_EQ(before, ActiveObjectCount());
}

TEST(Unknown, HandOutInterfaceNeedsAnOutPointer) {
  struct Probe : TestObject {
    using TestObject::TestObject;
    static HRESULT CallHandOut(IUnknown* iface, void** out) { return HandOutInterface(iface, out); }
  };
  Lifetime life;
  auto* object = new Probe(nullptr, &life);
  object->InnerAddRef();
  EXPECT_EQ(E_POINTER, Probe::CallHandOut(object->inner_unknown(), nullptr));
  EXPECT_EQ(1u, GetRefcount(object->inner_unknown()));
  void* out = nullptr;
  EXPECT_EQ(S_OK, Probe::CallHandOut(static_cast<IPersist*>(object), &out));
  EXPECT_EQ(static_cast<IPersist*>(object), out);
  EXPECT_EQ(2u, GetRefcount(object->inner_unknown()));
  object->InnerRelease();
  EXPECT_EQ(0u, object->InnerRelease());
}

// Counts change only by interlocked operations: many threads adding and dropping
// references at once leave the count exactly where it was.
TEST(Unknown, ConcurrentAddRefReleaseKeepTheCountExact) {
  Lifetime life;
  auto* object = new TestObject(nullptr, &life);
  object->InnerAddRef();
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  auto worker = [](void* parameter) -> DWORD {
    auto* persist = static_cast<IPersist*>(parameter);
    for (int i = 0; i < kRounds; ++i) {
      persist->AddRef();
      persist->Release();
    }
    return 0;
  };
  HANDLE threads[kThreads];
  for (HANDLE& thread : threads) {
    thread = ::veltrano::test::StartThread(worker, static_cast<IPersist*>(object));
    ASSERT_NE(nullptr, thread);
  }
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(kThreads, threads, TRUE, 60000));
  for (HANDLE thread : threads) ::CloseHandle(thread);
  EXPECT_EQ(0, life.destructions);
  EXPECT_EQ(0u, object->InnerRelease());
  EXPECT_EQ(1, life.destructions);
}

}  // namespace
}  // namespace veltrano::framework
