// The camera filter object: its interfaces and the pin's interfaces handed out on
// it, its one pin, the misc flags, and lifetime (pin and filter go together).
#include "camera/veltrano_virtual_camera.h"

#include <dshow.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "camera/camera_identity.h"
#include "camera_fixture.h"
#include "common/com_test_helpers.h"
#include "common/task_mem_spy.h"
#include "framework/base_object.h"

namespace veltrano::test {
namespace {

using CameraFilterInterfaces = CameraFixture;

TEST_F(CameraFilterInterfaces, FilterAnswersItsOwnAndThePinsConfigurationInterfaces) {
  IBaseFilter* filter = filter_.get();
  EXPECT_INTERFACE(filter, IID_IUnknown, true);
  EXPECT_INTERFACE(filter, IID_IBaseFilter, true);
  EXPECT_INTERFACE(filter, IID_IMediaFilter, true);
  EXPECT_INTERFACE(filter, IID_IPersist, true);
  EXPECT_INTERFACE(filter, IID_IAMovieSetup, true);
  EXPECT_INTERFACE(filter, IID_IAMFilterMiscFlags, true);
  EXPECT_INTERFACE(filter, IID_IAMVideoControl, true);
  EXPECT_INTERFACE(filter, IID_IAMStreamConfig, true);
  EXPECT_INTERFACE(filter, IID_IKsPropertySet, true);
  EXPECT_INTERFACE(filter, IID_IPin, false);
  EXPECT_INTERFACE(filter, IID_IQualityControl, false);
  EXPECT_INTERFACE(filter, IID_IMemInputPin, false);
  EXPECT_EQ(E_POINTER, filter->QueryInterface(IID_IAMFilterMiscFlags, nullptr));
  EXPECT_EQ(E_POINTER, filter->QueryInterface(IID_IAMStreamConfig, nullptr));
  EXPECT_EQ(E_POINTER, filter->QueryInterface(IID_IBaseFilter, nullptr));
}

TEST_F(CameraFilterInterfaces, PinInterfacesAnswerEachOther) {
  platform::ComPtr<IAMStreamConfig> config;
  platform::ComPtr<IKsPropertySet> properties;
  platform::ComPtr<IQualityControl> quality;
  ASSERT_EQ(S_OK, pin_->QueryInterface(IID_IAMStreamConfig, config.put_void()));
  ASSERT_EQ(S_OK, pin_->QueryInterface(IID_IKsPropertySet, properties.put_void()));
  ASSERT_EQ(S_OK, pin_->QueryInterface(IID_IQualityControl, quality.put_void()));
  IUnknown* faces[] = {pin_, quality.get(), config.get(), properties.get()};
  for (IUnknown* face : faces) {
    EXPECT_INTERFACE(face, IID_IUnknown, true);
    EXPECT_INTERFACE(face, IID_IPin, true);
    EXPECT_INTERFACE(face, IID_IQualityControl, true);
    EXPECT_INTERFACE(face, IID_IAMStreamConfig, true);
    EXPECT_INTERFACE(face, IID_IKsPropertySet, true);
    EXPECT_INTERFACE(face, IID_IBaseFilter, false);
    EXPECT_INTERFACE(face, IID_IAMFilterMiscFlags, false);
    EXPECT_EQ(E_POINTER, face->QueryInterface(IID_IAMStreamConfig, nullptr));
    EXPECT_EQ(E_POINTER, face->QueryInterface(IID_IPin, nullptr));
  }
  // IPin through IAMStreamConfig is the pin itself.
  platform::ComPtr<IPin> pin;
  ASSERT_EQ(S_OK, config->QueryInterface(IID_IPin, pin.put_void()));
  EXPECT_EQ(pin_, pin.get());
}

TEST_F(CameraFilterInterfaces, FilterAndPinHandOutTheSamePointers) {
  for (const IID* iid : {&IID_IAMStreamConfig, &IID_IKsPropertySet}) {
    platform::ComPtr<IUnknown> from_filter;
    platform::ComPtr<IUnknown> from_pin;
    ASSERT_EQ(S_OK, filter_->QueryInterface(*iid, from_filter.put_void()));
    ASSERT_EQ(S_OK, pin_->QueryInterface(*iid, from_pin.put_void()));
    EXPECT_EQ(from_pin.get(), from_filter.get());
  }
  platform::ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, filter_->QueryInterface(IID_IAMStreamConfig, config.put_void()));
  EXPECT_EQ(static_cast<IAMStreamConfig*>(stream_), config.get());
}

TEST_F(CameraFilterInterfaces, PinReferencesCountOnTheFilter) {
  EXPECT_EQ(1u, GetRefcount(filter_.get()));
  platform::ComPtr<IKsPropertySet> properties;
  ASSERT_EQ(S_OK, filter_->QueryInterface(IID_IKsPropertySet, properties.put_void()));
  EXPECT_EQ(2u, GetRefcount(filter_.get()));
  EXPECT_EQ(3u, properties->AddRef());
  EXPECT_EQ(2u, properties->Release());
  platform::ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, properties->QueryInterface(IID_IAMStreamConfig, config.put_void()));
  EXPECT_EQ(3u, GetRefcount(filter_.get()));
}

TEST_F(CameraFilterInterfaces, LastReleaseThroughStreamConfigDestroysPinAndFilter) {
  platform::ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, filter_->QueryInterface(IID_IAMStreamConfig, config.put_void()));
  EXPECT_EQ(1u, filter_.detach()->Release());
  EXPECT_EQ(objects_before_ + 2, framework::ActiveObjectCount());  // filter and pin
  EXPECT_EQ(0u, config.detach()->Release());
  EXPECT_EQ(objects_before_, framework::ActiveObjectCount());
}

TEST_F(CameraFilterInterfaces, MiscFlagsSayItIsASource) {
  platform::ComPtr<IAMFilterMiscFlags> flags;
  ASSERT_EQ(S_OK, filter_->QueryInterface(IID_IAMFilterMiscFlags, flags.put_void()));
  EXPECT_EQ(static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_SOURCE), flags->GetMiscFlags());
  EXPECT_EQ(2u, flags->GetMiscFlags());
  EXPECT_EQ(2u, GetRefcount(filter_.get()));
  platform::ComPtr<IBaseFilter> back;
  ASSERT_EQ(S_OK, flags->QueryInterface(IID_IBaseFilter, back.put_void()));
  EXPECT_EQ(filter_.get(), back.get());
}

// Browsers read the frame-rate list of each capability to offer rates; the current
// rate follows the chosen format; there is nothing to flip or trigger.
TEST_F(CameraFilterInterfaces, VideoControlListsTheRatesOfEveryMode) {
  platform::ComPtr<IAMVideoControl> control;
  ASSERT_EQ(S_OK, filter_->QueryInterface(IID_IAMVideoControl, control.put_void()));
  IAMStreamConfig* config = stream_;
  int count = 0, size = 0;
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  const LONGLONG expected[] = {166666, 333333, 400000, 500000, 666667, 1000000, 2000000};
  for (int index = 0; index < count; ++index) {
    AM_MEDIA_TYPE* type = nullptr;
    BYTE caps[128];
    ASSERT_EQ(S_OK, config->GetStreamCaps(index, &type, caps));
    const BITMAPINFOHEADER& bitmap = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
    const SIZE dimensions = {bitmap.biWidth, bitmap.biHeight};
    DeleteMediaType(type);
    LONG listed = 0;
    LONGLONG* rates = nullptr;
    ASSERT_EQ(S_OK, control->GetFrameRateList(pin_, index, dimensions, &listed, &rates)) << index;
    ASSERT_EQ(7, listed);
    ASSERT_NE(nullptr, rates);
    EXPECT_EQ(0, std::memcmp(expected, rates, sizeof(expected))) << index;
    CoTaskMemFree(rates);
    LONGLONG fastest = 0;
    EXPECT_EQ(S_OK, control->GetMaxAvailableFrameRate(pin_, index, dimensions, &fastest));
    EXPECT_EQ(166666, fastest);
  }
  LONG listed = -1;
  EXPECT_EQ(S_OK, control->GetFrameRateList(pin_, 0, SIZE{1280, 720}, &listed, nullptr)) << "a size query";
  EXPECT_EQ(7, listed);
  LONGLONG* rates = reinterpret_cast<LONGLONG*>(0x1);
  EXPECT_EQ(E_INVALIDARG, control->GetFrameRateList(pin_, 0, SIZE{640, 480}, &listed, &rates)) << "other size";
  EXPECT_EQ(nullptr, rates);
  EXPECT_EQ(E_INVALIDARG, control->GetFrameRateList(pin_, count, SIZE{1280, 720}, &listed, &rates));
  EXPECT_EQ(E_INVALIDARG, control->GetFrameRateList(pin_, -1, SIZE{1280, 720}, &listed, &rates));
  EXPECT_EQ(E_POINTER, control->GetFrameRateList(pin_, 0, SIZE{1280, 720}, nullptr, &rates));
  EXPECT_EQ(E_POINTER, control->GetFrameRateList(nullptr, 0, SIZE{1280, 720}, &listed, &rates));
  // Another filter's pin, or anything but this filter's pin, is not ours.
  EXPECT_EQ(E_INVALIDARG, control->GetFrameRateList(static_cast<IPin*>(&sink_), 0, SIZE{1280, 720}, &listed, &rates));

  LONG flags = -1, mode = -1;
  EXPECT_EQ(S_OK, control->GetCaps(pin_, &flags));
  EXPECT_EQ(0, flags);
  EXPECT_EQ(S_OK, control->GetMode(pin_, &mode));
  EXPECT_EQ(0, mode);
  EXPECT_EQ(S_OK, control->SetMode(pin_, 0));
  for (const LONG refused : {VideoControlFlag_FlipHorizontal, VideoControlFlag_FlipVertical,
                             VideoControlFlag_ExternalTriggerEnable, VideoControlFlag_Trigger}) {
    EXPECT_EQ(E_INVALIDARG, control->SetMode(pin_, refused)) << refused;
  }
  EXPECT_EQ(E_POINTER, control->GetCaps(pin_, nullptr));

  LONGLONG current = 0;
  EXPECT_EQ(S_OK, control->GetCurrentActualFrameRate(pin_, &current));
  EXPECT_EQ(333333, current);
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(S_OK, config->GetFormat(&type));
  reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->AvgTimePerFrame = 666667;
  ASSERT_EQ(S_OK, config->SetFormat(type));
  DeleteMediaType(type);
  EXPECT_EQ(S_OK, control->GetCurrentActualFrameRate(pin_, &current));
  EXPECT_EQ(666667, current);
}

// Every output is written before anything can fail, so a refused call leaves none
// of them holding what the caller had there.
TEST_F(CameraFilterInterfaces, VideoControlClearsItsOutputsWhenItFails) {
  platform::ComPtr<IAMVideoControl> control;
  ASSERT_EQ(S_OK, filter_->QueryInterface(IID_IAMVideoControl, control.put_void()));
  IPin* other = static_cast<IPin*>(&sink_);
  const SIZE hd = {1280, 720};
  LONG value = -1;
  LONGLONG interval = -1;
  LONGLONG* rates = reinterpret_cast<LONGLONG*>(0x1);
  enum Output { kValue = 1, kInterval = 2, kRates = 4 };  // which of the three a call writes
  const struct {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT expected;
    int outputs;
  } rows[] = {
      {"GetCaps, another pin", [&] { return control->GetCaps(other, &value); }, E_INVALIDARG, kValue},
      {"GetCaps, no pin", [&] { return control->GetCaps(nullptr, &value); }, E_POINTER, kValue},
      {"GetMode, another pin", [&] { return control->GetMode(other, &value); }, E_INVALIDARG, kValue},
      {"GetCurrentActualFrameRate, another pin",
       [&] { return control->GetCurrentActualFrameRate(other, &interval); }, E_INVALIDARG, kInterval},
      {"GetMaxAvailableFrameRate, index 30",
       [&] { return control->GetMaxAvailableFrameRate(pin_, 30, hd, &interval); }, E_INVALIDARG, kInterval},
      {"GetMaxAvailableFrameRate, another size",
       [&] { return control->GetMaxAvailableFrameRate(pin_, 0, SIZE{640, 480}, &interval); }, E_INVALIDARG,
       kInterval},
      {"GetFrameRateList, another pin", [&] { return control->GetFrameRateList(other, 0, hd, &value, &rates); },
       E_INVALIDARG, kValue | kRates},
      {"GetFrameRateList, another size",
       [&] { return control->GetFrameRateList(pin_, 0, SIZE{640, 480}, &value, &rates); }, E_INVALIDARG,
       kValue | kRates},
      {"GetFrameRateList, no count", [&] { return control->GetFrameRateList(pin_, 0, hd, nullptr, &rates); },
       E_POINTER, kRates},
  };
  for (const auto& row : rows) {
    value = -1;
    interval = -1;
    rates = reinterpret_cast<LONGLONG*>(0x1);
    EXPECT_EQ(row.expected, row.call()) << row.name;
    if (row.outputs & kValue) EXPECT_EQ(0, value) << row.name;
    if (row.outputs & kInterval) EXPECT_EQ(0, interval) << row.name;
    if (row.outputs & kRates) EXPECT_EQ(nullptr, rates) << row.name;
  }
  // A list that cannot be allocated: no count either.
  TaskMemFailureScope shortage(7 * sizeof(LONGLONG));
  ASSERT_EQ(S_OK, shortage.registration());
  value = -1;
  rates = reinterpret_cast<LONGLONG*>(0x1);
  EXPECT_EQ(E_OUTOFMEMORY, control->GetFrameRateList(pin_, 0, hd, &value, &rates));
  EXPECT_EQ(0, value);
  EXPECT_EQ(nullptr, rates);
}

TEST_F(CameraFilterInterfaces, OnePinNamedCaptureWithOutputDirection) {
  platform::ComPtr<IEnumPins> pins;
  ASSERT_EQ(S_OK, filter_->EnumPins(pins.put()));
  IPin* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, pins->Next(2, listed, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(pin_, listed[0]);
  PIN_INFO info = {};
  ASSERT_EQ(S_OK, listed[0]->QueryPinInfo(&info));
  EXPECT_STREQ(camera::kCapturePinName, info.achName);
  EXPECT_STREQ(L"Capture", info.achName);
  EXPECT_EQ(PINDIR_OUTPUT, info.dir);
  EXPECT_EQ(filter_.get(), info.pFilter);
  info.pFilter->Release();
  listed[0]->Release();

  CLSID clsid = {};
  EXPECT_EQ(S_OK, filter_->GetClassID(&clsid));
  EXPECT_EQ(camera::kCameraClsid, clsid);
}

TEST(CameraFilterCreation, NullResultSlotIsAllowed) {
  const long before = framework::ActiveObjectCount();
  framework::INonDelegatingUnknown* inner = camera::CreateCameraFilter(nullptr, nullptr);
  ASSERT_NE(nullptr, inner);
  EXPECT_EQ(1u, inner->InnerAddRef());
  EXPECT_EQ(0u, inner->InnerRelease());
  EXPECT_EQ(before, framework::ActiveObjectCount());
}

TEST(CameraFilterCreation, StreamingFilterReleasedWithoutStopEndsItsWorker) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  const long before = framework::ActiveObjectCount();
  AppSinkPin sink;
  {
    HRESULT result = S_OK;
    framework::INonDelegatingUnknown* inner = camera::CreateCameraFilter(nullptr, &result);
    ASSERT_EQ(S_OK, result);
    inner->InnerAddRef();
    auto* camera = static_cast<camera::CVeltranoVirtualCamera*>(inner);
    IPin* pin = static_cast<IPin*>(camera->pin());
    ASSERT_EQ(S_OK, pin->Connect(static_cast<IPin*>(&sink), nullptr));
    platform::ComPtr<IBaseFilter> filter;
    ASSERT_EQ(S_OK, inner->InnerQueryInterface(IID_IBaseFilter, filter.put_void()));
    inner->InnerRelease();
    ASSERT_EQ(S_OK, filter->Run(0));
    ASSERT_TRUE(sink.WaitForReceives(2, 5000));
    // The sink lets go of its connector; the filter's last reference then stops it.
    sink.Disconnect();
    EXPECT_EQ(0u, filter.detach()->Release());
  }
  EXPECT_EQ(before, framework::ActiveObjectCount());
  const auto events = sink.events();
  EXPECT_NE(events.end(), std::find(events.begin(), events.end(), "EndFlush"));
  EXPECT_EQ(1, sink.ref_count());
  CoUninitialize();
}

}  // namespace
}  // namespace veltrano::test
