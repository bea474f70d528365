// The pin enumerator: Next, Skip, Reset and Clone, out-of-sync handling, the
// reference it holds on the filter, and its out-of-memory answers.
#include <gtest/gtest.h>

#include "common/allocation_failure_scope.h"
#include "common/com_test_helpers.h"
#include "framework/test_source_filter.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"

namespace veltrano::source_test {
namespace {

using framework::ActiveObjectCount;
using test::GetRefcount;

IPin* const kPoison = reinterpret_cast<IPin*>(0xdeadbeef);

class EnumPinsTest : public testing::Test {
 protected:
  void Make(int pins) {
    filter_ = TestSourceFilter::Create(&log_, pins);
    ASSERT_NE(nullptr, filter_);
    base_ = filter_->base_filter();
    ASSERT_EQ(S_OK, base_->EnumPins(pins_.put()));
    EXPECT_EQ(2u, GetRefcount(base_));
  }
  void TearDown() override {
    pins_.reset();
    if (base_) {
      EXPECT_EQ(0u, base_->Release());
    }
    EXPECT_EQ(objects_before_, ActiveObjectCount());
  }
  IPin* Pin(int index) { return static_cast<IPin*>(filter_->stream(index)); }

  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  long objects_before_ = ActiveObjectCount();
  StreamLog log_;
  TestSourceFilter* filter_ = nullptr;
  IBaseFilter* base_ = nullptr;
  platform::ComPtr<IEnumPins> pins_;
};

TEST_F(EnumPinsTest, Interfaces) {
  Make(1);
  EXPECT_EQ(E_POINTER, base_->EnumPins(nullptr));
  EXPECT_INTERFACE(pins_.get(), IID_IEnumPins, true);
  EXPECT_INTERFACE(pins_.get(), IID_IUnknown, true);
  EXPECT_INTERFACE(pins_.get(), IID_IEnumMediaTypes, false);
  EXPECT_EQ(E_POINTER, pins_->QueryInterface(IID_IEnumPins, nullptr));
  // Its own count, starting at 1; the filter is held once.
  EXPECT_EQ(1u, GetRefcount(pins_.get()));
  EXPECT_EQ(2u, pins_->AddRef());
  EXPECT_EQ(1u, pins_->Release());
  EXPECT_EQ(2u, GetRefcount(base_));
}

TEST_F(EnumPinsTest, NextHandsOutEachPinOnce) {
  Make(1);
  IPin* out[2] = {kPoison, kPoison};
  ULONG fetched = 77;
  EXPECT_EQ(E_POINTER, pins_->Next(1, nullptr, &fetched));
  EXPECT_EQ(E_INVALIDARG, pins_->Next(2, out, nullptr));
  EXPECT_EQ(kPoison, out[0]);

  EXPECT_EQ(S_FALSE, pins_->Next(2, out, &fetched));
  EXPECT_EQ(1u, fetched);
  EXPECT_EQ(Pin(0), out[0]);
  EXPECT_EQ(kPoison, out[1]);
  EXPECT_EQ(3u, GetRefcount(base_));  // filter + enumerator + handed-out pin
  out[0]->Release();

  out[0] = kPoison;
  EXPECT_EQ(S_FALSE, pins_->Next(1, out, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(kPoison, out[0]);
  EXPECT_EQ(S_FALSE, pins_->Next(1, out, nullptr));

  EXPECT_EQ(S_OK, pins_->Next(0, out, &fetched));
  EXPECT_EQ(0u, fetched);

  EXPECT_EQ(S_OK, pins_->Reset());
  EXPECT_EQ(S_OK, pins_->Next(1, out, nullptr));
  EXPECT_EQ(Pin(0), out[0]);
  out[0]->Release();
}

TEST_F(EnumPinsTest, SkipMovesOnlyWithinThePins) {
  Make(3);
  EXPECT_EQ(S_OK, pins_->Skip(2));
  EXPECT_EQ(S_FALSE, pins_->Skip(2));  // beyond the end: the position stays
  IPin* out[3] = {kPoison, kPoison, kPoison};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, pins_->Next(3, out, &fetched));
  EXPECT_EQ(1u, fetched);
  EXPECT_EQ(Pin(2), out[0]);
  out[0]->Release();
  EXPECT_EQ(S_OK, pins_->Skip(0));
  EXPECT_EQ(S_FALSE, pins_->Skip(1));
  EXPECT_EQ(S_FALSE, pins_->Skip(0xFFFFFFFF));

  EXPECT_EQ(S_OK, pins_->Reset());
  EXPECT_EQ(S_OK, pins_->Skip(3));
  EXPECT_EQ(S_FALSE, pins_->Next(1, out, &fetched));
  EXPECT_EQ(0u, fetched);
}

TEST_F(EnumPinsTest, CloneKeepsPositionAndHandedOutPins) {
  Make(3);
  IPin* out[3] = {kPoison, kPoison, kPoison};
  ASSERT_EQ(S_OK, pins_->Next(1, out, nullptr));
  EXPECT_EQ(Pin(0), out[0]);
  out[0]->Release();

  EXPECT_EQ(E_POINTER, pins_->Clone(nullptr));
  platform::ComPtr<IEnumPins> clone;
  ASSERT_EQ(S_OK, pins_->Clone(clone.put()));
  EXPECT_EQ(1u, GetRefcount(clone.get()));
  EXPECT_EQ(3u, GetRefcount(base_));  // each enumerator holds the filter

  // Both continue from the same place, independently.
  ULONG fetched = 0;
  ASSERT_EQ(S_OK, clone->Next(2, out, &fetched));
  EXPECT_EQ(Pin(1), out[0]);
  EXPECT_EQ(Pin(2), out[1]);
  out[0]->Release();
  out[1]->Release();
  ASSERT_EQ(S_OK, pins_->Next(1, out, nullptr));
  EXPECT_EQ(Pin(1), out[0]);
  out[0]->Release();

  // The clone's list of handed-out pins came along: after a resynchronisation it
  // still skips the first pin, handed out before the clone was made.
  filter_->version_override = 5;
  EXPECT_EQ(S_FALSE, clone->Next(3, out, &fetched));
  EXPECT_EQ(0u, fetched);
  filter_->version_override = 0;
  clone.reset();
  EXPECT_EQ(2u, GetRefcount(base_));
}

TEST_F(EnumPinsTest, OutOfSync) {
  Make(3);
  IPin* out[3] = {kPoison, kPoison, kPoison};
  ASSERT_EQ(S_OK, pins_->Next(1, out, nullptr));
  out[0]->Release();
  filter_->version_override = 2;

  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, pins_->Skip(1));
  platform::ComPtr<IEnumPins> clone;
  IEnumPins* poisoned = reinterpret_cast<IEnumPins*>(0x1);
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, pins_->Clone(&poisoned));
  EXPECT_EQ(nullptr, poisoned);

  // Next resynchronises by itself from position 0 and skips what it handed out.
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, pins_->Next(3, out, &fetched));
  ASSERT_EQ(2u, fetched);
  EXPECT_EQ(Pin(1), out[0]);
  EXPECT_EQ(Pin(2), out[1]);
  out[0]->Release();
  out[1]->Release();
  EXPECT_EQ(S_OK, pins_->Skip(0));
  EXPECT_EQ(S_OK, pins_->Clone(clone.put()));

  // Reset forgets the handed-out pins.
  filter_->version_override = 3;
  EXPECT_EQ(S_OK, pins_->Reset());
  EXPECT_EQ(S_OK, pins_->Next(3, out, &fetched));
  EXPECT_EQ(3u, fetched);
  for (IPin* pin : out) pin->Release();
  filter_->version_override = 0;
}

// A pin vanishing from the list mid-walk: the pins this call already handed out are
// taken back, so the caller holds no reference it was not told about.
TEST_F(EnumPinsTest, NullPinTakesBackWhatTheCallHandedOut) {
  Make(3);
  filter_->null_pin_index = 1;
  IPin* out[3] = {kPoison, kPoison, kPoison};
  ULONG fetched = 77;
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, pins_->Next(3, out, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(nullptr, out[0]);
  EXPECT_EQ(2u, GetRefcount(base_));

  // The taken-back pin is not counted as handed out.
  filter_->null_pin_index = -1;
  EXPECT_EQ(S_OK, pins_->Reset());
  ASSERT_EQ(S_OK, pins_->Next(1, out, nullptr));
  EXPECT_EQ(Pin(0), out[0]);
  out[0]->Release();
}

TEST_F(EnumPinsTest, OutOfMemory) {
  Make(2);
  IEnumPins* out = reinterpret_cast<IEnumPins*>(0x1);
  {
    test::AllocationFailureScope no_memory;
    EXPECT_EQ(E_OUTOFMEMORY, base_->EnumPins(&out));
  }
  EXPECT_EQ(nullptr, out);
  out = reinterpret_cast<IEnumPins*>(0x1);
  {
    test::AllocationFailureScope no_memory;
    EXPECT_EQ(E_OUTOFMEMORY, pins_->Clone(&out));
  }
  EXPECT_EQ(nullptr, out);

  // Next that cannot record the pins it would hand out hands out nothing.
  IPin* pins[2] = {kPoison, kPoison};
  ULONG fetched = 77;
  {
    test::AllocationFailureScope no_memory;
    EXPECT_EQ(E_OUTOFMEMORY, pins_->Next(2, pins, &fetched));
  }
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(kPoison, pins[0]);
  EXPECT_EQ(2u, GetRefcount(base_));

  // A clone whose copied list cannot be allocated (the object itself can).
  ASSERT_EQ(S_OK, pins_->Next(1, pins, nullptr));
  pins[0]->Release();
  {
    test::AllocationFailureScope one_allocation(1);
    EXPECT_EQ(E_OUTOFMEMORY, pins_->Clone(&out));
  }
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(2u, GetRefcount(base_));
  EXPECT_EQ(S_OK, pins_->Next(1, pins, nullptr));
  EXPECT_EQ(Pin(1), pins[0]);
  pins[0]->Release();
}

}  // namespace
}  // namespace veltrano::source_test
