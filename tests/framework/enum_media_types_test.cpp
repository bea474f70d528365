// CEnumMediaTypes over a pin offering three types: Next, Skip, Reset, Clone, the
// version rule, the pin reference it holds, and failed allocations.
#include <gtest/gtest.h>

#include <dshow.h>

#include <cstring>

#include "common/allocation_failure_scope.h"
#include "common/com_test_helpers.h"
#include "common/task_mem_spy.h"
#include "framework/base_pin.h"
#include "framework/enum_media_types.h"

namespace veltrano::framework {
namespace {

using test::GetRefcount;

const GUID* const kSubtypes[] = {&MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32};
constexpr ULONG kFormatSize = 100;  // not 88 = sizeof(AM_MEDIA_TYPE)

// A pin without a filter (it counts its own references) that offers three types,
// each with a 100-byte format block whose first byte is its position.
class ThreeTypePin final : public CBasePin {
 public:
  explicit ThreeTypePin(HRESULT* result) : CBasePin(nullptr, &lock_, L"Three", PINDIR_OUTPUT, result) {}

  LONG TypeListVersion() override { return version; }
  HRESULT ValidateMediaType(const AM_MEDIA_TYPE*) override {
    ADD_FAILURE() << "unexpected ValidateMediaType";
    return E_FAIL;
  }
  HRESULT MediaTypeAt(LONG position, CMediaTypeRecord* type) override {
    ++media_type_calls;
    if (position == failing_position) return E_FAIL;
    if (position < 0) return E_INVALIDARG;
    if (position >= 3) return VFW_S_NO_MORE_ITEMS;
    type->majortype = MEDIATYPE_Video;
    type->subtype = *kSubtypes[position];
    type->formattype = FORMAT_VideoInfo;
    BYTE* block = type->EnsureFormatBlock(kFormatSize);
    if (!block) return E_OUTOFMEMORY;
    std::memset(block, 0, kFormatSize);
    block[0] = static_cast<BYTE>(position);
    return S_OK;
  }

  LONG version = 1;
  LONG failing_position = -100;
  int media_type_calls = 0;

 private:
  platform::CriticalSection lock_;
};

class EnumMediaTypes : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    HRESULT result = S_OK;
    pin_ = new ThreeTypePin(&result);
    ASSERT_EQ(S_OK, result);
    pin_->InnerAddRef();
    ASSERT_EQ(S_OK, pin_->EnumMediaTypes(&enumerator_));
  }
  void TearDown() override {
    if (enumerator_) {
      EXPECT_EQ(0u, enumerator_->Release());
    }
    EXPECT_EQ(1u, GetRefcount(static_cast<IPin*>(pin_)));
    EXPECT_EQ(0u, pin_->InnerRelease());
    ::CoUninitialize();
  }

  // Subtype index of a fetched type (by its first format byte), checked against its subtype.
  static int IndexOf(const AM_MEDIA_TYPE* type) {
    if (!type || type->cbFormat != kFormatSize || !type->pbFormat) return -1;
    const int index = type->pbFormat[0];
    EXPECT_EQ(*kSubtypes[index], type->subtype);
    return index;
  }

  ThreeTypePin* pin_ = nullptr;
  IEnumMediaTypes* enumerator_ = nullptr;
};

AM_MEDIA_TYPE* const kPoison = reinterpret_cast<AM_MEDIA_TYPE*>(static_cast<uintptr_t>(0xdeadbeef));

TEST_F(EnumMediaTypes, HoldsOneReferenceOnThePin) {
  EXPECT_EQ(2u, GetRefcount(static_cast<IPin*>(pin_)));
  IEnumMediaTypes* second = nullptr;
  ASSERT_EQ(S_OK, pin_->EnumMediaTypes(&second));
  EXPECT_EQ(3u, GetRefcount(static_cast<IPin*>(pin_)));
  EXPECT_EQ(0u, second->Release());
  EXPECT_EQ(2u, GetRefcount(static_cast<IPin*>(pin_)));
  EXPECT_EQ(E_POINTER, pin_->EnumMediaTypes(nullptr));
}

TEST_F(EnumMediaTypes, Interfaces) {
  EXPECT_INTERFACE(enumerator_, IID_IEnumMediaTypes, true);
  EXPECT_INTERFACE(enumerator_, IID_IUnknown, true);
  EXPECT_INTERFACE(enumerator_, IID_IEnumPins, false);
  EXPECT_EQ(E_POINTER, enumerator_->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(2u, enumerator_->AddRef());
  EXPECT_EQ(1u, enumerator_->Release());
}

TEST_F(EnumMediaTypes, NextFetchesAllThreeThenNothing) {
  AM_MEDIA_TYPE* types[4] = {kPoison, kPoison, kPoison, kPoison};
  ULONG fetched = 99;
  EXPECT_EQ(S_FALSE, enumerator_->Next(4, types, &fetched));
  ASSERT_EQ(3u, fetched);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(i, IndexOf(types[i]));
    EXPECT_EQ(MEDIATYPE_Video, types[i]->majortype);
    test::DeleteMediaType(types[i]);
  }
  AM_MEDIA_TYPE* one = kPoison;
  EXPECT_EQ(S_FALSE, enumerator_->Next(1, &one, nullptr));
  EXPECT_EQ(kPoison, one);
}

TEST_F(EnumMediaTypes, NextArgumentRules) {
  AM_MEDIA_TYPE* types[2] = {kPoison, kPoison};
  EXPECT_EQ(E_POINTER, enumerator_->Next(1, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, enumerator_->Next(2, types, nullptr));
  EXPECT_EQ(kPoison, types[0]);
  ULONG fetched = 99;
  EXPECT_EQ(S_OK, enumerator_->Next(0, types, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(S_OK, enumerator_->Next(1, types, nullptr));
  EXPECT_EQ(0, IndexOf(types[0]));
  test::DeleteMediaType(types[0]);
  // None of the refused calls moved the position.
  EXPECT_EQ(S_OK, enumerator_->Next(1, types, nullptr));
  EXPECT_EQ(1, IndexOf(types[0]));
  test::DeleteMediaType(types[0]);
}

TEST_F(EnumMediaTypes, VersionChangePutsItOutOfSyncUntilReset) {
  AM_MEDIA_TYPE* type = kPoison;
  ASSERT_EQ(S_OK, enumerator_->Next(1, &type, nullptr));
  test::DeleteMediaType(type);
  pin_->version = 2;
  type = kPoison;
  ULONG fetched = 99;
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, enumerator_->Next(1, &type, &fetched));
  EXPECT_EQ(kPoison, type);
  EXPECT_EQ(99u, fetched);
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, enumerator_->Skip(1));
  EXPECT_EQ(S_OK, enumerator_->Skip(0));
  IEnumMediaTypes* clone = reinterpret_cast<IEnumMediaTypes*>(kPoison);
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, enumerator_->Clone(&clone));
  EXPECT_EQ(nullptr, clone);
  EXPECT_EQ(2u, GetRefcount(static_cast<IPin*>(pin_)));

  EXPECT_EQ(S_OK, enumerator_->Reset());
  EXPECT_EQ(S_OK, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(0, IndexOf(type));
  test::DeleteMediaType(type);
}

TEST_F(EnumMediaTypes, SkipToTheEndAndBeyond) {
  EXPECT_EQ(S_OK, enumerator_->Skip(3));
  AM_MEDIA_TYPE* type = kPoison;
  EXPECT_EQ(S_FALSE, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(kPoison, type);

  EXPECT_EQ(S_OK, enumerator_->Reset());
  EXPECT_EQ(S_FALSE, enumerator_->Skip(4));
  EXPECT_EQ(S_FALSE, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(kPoison, type);

  // A count that would carry the position past its largest value never starts the
  // list again, and neither does moving on from there.
  EXPECT_EQ(S_OK, enumerator_->Reset());
  EXPECT_EQ(S_OK, enumerator_->Skip(1));
  EXPECT_EQ(S_FALSE, enumerator_->Skip(0xFFFFFFFFu));
  EXPECT_EQ(S_FALSE, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(kPoison, type);
  EXPECT_EQ(S_FALSE, enumerator_->Skip(1));
  EXPECT_EQ(S_FALSE, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(kPoison, type);

  EXPECT_EQ(S_OK, enumerator_->Reset());
  EXPECT_EQ(S_OK, enumerator_->Skip(2));
  EXPECT_EQ(S_OK, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(2, IndexOf(type));
  test::DeleteMediaType(type);
}

TEST_F(EnumMediaTypes, CloneContinuesFromTheSamePositionIndependently) {
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(S_OK, enumerator_->Next(1, &type, nullptr));
  test::DeleteMediaType(type);
  EXPECT_EQ(E_POINTER, enumerator_->Clone(nullptr));
  IEnumMediaTypes* clone = nullptr;
  ASSERT_EQ(S_OK, enumerator_->Clone(&clone));
  EXPECT_EQ(3u, GetRefcount(static_cast<IPin*>(pin_)));
  ASSERT_EQ(S_OK, clone->Next(1, &type, nullptr));
  EXPECT_EQ(1, IndexOf(type));
  test::DeleteMediaType(type);
  ASSERT_EQ(S_OK, clone->Next(1, &type, nullptr));
  EXPECT_EQ(2, IndexOf(type));
  test::DeleteMediaType(type);
  // The original did not move with the clone.
  ASSERT_EQ(S_OK, enumerator_->Next(1, &type, nullptr));
  EXPECT_EQ(1, IndexOf(type));
  test::DeleteMediaType(type);
  EXPECT_EQ(0u, clone->Release());
  EXPECT_EQ(2u, GetRefcount(static_cast<IPin*>(pin_)));
}

TEST_F(EnumMediaTypes, CloneWithoutMemoryGivesOutOfMemoryAndNull) {
  IEnumMediaTypes* clone = reinterpret_cast<IEnumMediaTypes*>(kPoison);
  HRESULT hr;
  int refused;
  {
    test::AllocationFailureScope fail;
    hr = enumerator_->Clone(&clone);
    refused = fail.failures();
  }
  EXPECT_EQ(E_OUTOFMEMORY, hr);
  EXPECT_EQ(1, refused);
  EXPECT_EQ(nullptr, clone);
  EXPECT_EQ(2u, GetRefcount(static_cast<IPin*>(pin_)));

  IEnumMediaTypes* fresh = reinterpret_cast<IEnumMediaTypes*>(kPoison);
  {
    test::AllocationFailureScope fail;
    hr = pin_->EnumMediaTypes(&fresh);
  }
  EXPECT_EQ(E_OUTOFMEMORY, hr);
  EXPECT_EQ(nullptr, fresh);
  EXPECT_EQ(2u, GetRefcount(static_cast<IPin*>(pin_)));
}

// A pin failure ends Next with S_FALSE; the position is used up all the same.
TEST_F(EnumMediaTypes, PinFailureEndsNextAndUsesUpThePosition) {
  pin_->failing_position = 1;
  AM_MEDIA_TYPE* types[3] = {kPoison, kPoison, kPoison};
  ULONG fetched = 99;
  EXPECT_EQ(S_FALSE, enumerator_->Next(3, types, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(0, IndexOf(types[0]));
  EXPECT_EQ(kPoison, types[1]);
  test::DeleteMediaType(types[0]);
  EXPECT_EQ(S_OK, enumerator_->Next(1, types, nullptr));
  EXPECT_EQ(2, IndexOf(types[0]));
  test::DeleteMediaType(types[0]);
  // Skip reports a failing last position as S_FALSE.
  EXPECT_EQ(S_OK, enumerator_->Reset());
  EXPECT_EQ(S_FALSE, enumerator_->Skip(2));
}

// A record that cannot be allocated leaves a null element and loses that one type.
TEST_F(EnumMediaTypes, RecordAllocationFailureLeavesANullElement) {
  AM_MEDIA_TYPE* types[2] = {kPoison, kPoison};
  ULONG fetched = 99;
  HRESULT hr;
  int refused;
  {
    test::TaskMemFailureScope fail(sizeof(AM_MEDIA_TYPE));
    ASSERT_EQ(S_OK, fail.registration());
    hr = enumerator_->Next(2, types, &fetched);
    refused = fail.failures();
  }
  EXPECT_EQ(S_FALSE, hr);
  EXPECT_EQ(1, refused);
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(nullptr, types[0]);
  EXPECT_EQ(kPoison, types[1]);
  ASSERT_EQ(S_OK, enumerator_->Next(1, types, nullptr));
  EXPECT_EQ(1, IndexOf(types[0]));
  test::DeleteMediaType(types[0]);
}

}  // namespace
}  // namespace veltrano::framework
