// A camera filter made through CreateCameraFilter for each test, with the fakes it
// meets declared first so that they outlive it. TearDown stops and disconnects the
// filter, releases it and checks that every object the test made is gone.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include "camera/veltrano_virtual_camera.h"
#include "camera/veltrano_virtual_camera_stream.h"
#include "camera_fakes.h"
#include "framework/base_object.h"
#include "platform/com_ptr.h"

namespace veltrano::test {

class CameraFixture : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    graph_.expects_reconnect = true;
    objects_before_ = framework::ActiveObjectCount();
    HRESULT result = S_OK;
    framework::INonDelegatingUnknown* inner = camera::CreateCameraFilter(nullptr, &result);
    ASSERT_EQ(S_OK, result);
    ASSERT_NE(nullptr, inner);
    EXPECT_EQ(1u, inner->InnerAddRef());
    camera_ = static_cast<camera::CVeltranoVirtualCamera*>(inner);
    ASSERT_EQ(S_OK, inner->InnerQueryInterface(IID_IBaseFilter, filter_.put_void()));
    inner->InnerRelease();
    stream_ = camera_->pin();
    ASSERT_NE(nullptr, stream_);
    pin_ = static_cast<IPin*>(stream_);
  }

  void TearDown() override {
    if (filter_) {
      filter_->Stop();
      if (sink_.connector()) {
        pin_->Disconnect();
        sink_.Disconnect();
      }
      filter_->SetSyncSource(nullptr);
      filter_->JoinFilterGraph(nullptr, nullptr);
      EXPECT_EQ(0u, filter_.detach()->Release());
    }
    EXPECT_EQ(objects_before_, framework::ActiveObjectCount());
    EXPECT_EQ(1, clock_.ref_count());
    EXPECT_EQ(1, sink_.ref_count());
    CoUninitialize();
  }

  //! Connects the camera pin straight to the sink (no graph).
  void ConnectSink() { ASSERT_EQ(S_OK, pin_->Connect(static_cast<IPin*>(&sink_), nullptr)); }

  //! The current media type through IAMStreamConfig::GetFormat.
  AM_MEDIA_TYPE* CurrentFormat() {
    AM_MEDIA_TYPE* type = nullptr;
    EXPECT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->GetFormat(&type));
    return type;
  }

  // Peers first: they outlive the filter.
  FakeClock clock_;
  FakeGraph graph_;
  AppSinkPin sink_;
  long objects_before_ = 0;
  camera::CVeltranoVirtualCamera* camera_ = nullptr;
  camera::CVeltranoVirtualCameraStream* stream_ = nullptr;
  IPin* pin_ = nullptr;  // borrowed: counts on the filter
  platform::ComPtr<IBaseFilter> filter_;
};

}  // namespace veltrano::test
