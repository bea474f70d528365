// The probe's mode options and its choice of a capability: accepted and refused
// command lines, the capability picked for each request and the interval asked for,
// the errors that name what the device offers, and reading and setting capabilities
// on the camera's real capture pin.
#include "tools/probe/stream_capabilities.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/veltrano_virtual_camera.h"
#include "common/com_test_helpers.h"
#include "framework/unknown.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"
#include "tools/probe/device_enumerator.h"

namespace veltrano::tools {
namespace {

bool Parse(std::vector<const wchar_t*> args, ProbeOptions* options, std::wstring* error) {
  args.insert(args.begin(), L"veltrano-probe");
  return ParseProbeOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ProbeModeOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<const wchar_t*> args;
    ModeRequest mode;
  };
  const Case cases[] = {
      {{}, {0, 0, std::nullopt, 0.0}},
      {{L"--size", L"640x480", L"--subtype", L"rgb24", L"--fps", L"29.97"}, {640, 480, VideoSubtype::kRgb24, 29.97}},
      {{L"--subtype", L"YUY2"}, {0, 0, VideoSubtype::kYuy2, 0.0}},
      {{L"--subtype", L"nv12"}, {0, 0, VideoSubtype::kNv12, 0.0}},
      {{L"--subtype", L"I420"}, {0, 0, VideoSubtype::kI420, 0.0}},
      {{L"--subtype", L"Rgb24"}, {0, 0, VideoSubtype::kRgb24, 0.0}},
      {{L"--subtype", L"RGB32"}, {0, 0, VideoSubtype::kRgb32, 0.0}},
      {{L"--size", L"1920X1080"}, {1920, 1080, std::nullopt, 0.0}},
      {{L"--fps", L"1"}, {0, 0, std::nullopt, 1.0}},
      {{L"--fps", L"60"}, {0, 0, std::nullopt, 60.0}},
      {{L"--fps", L"60.0"}, {0, 0, std::nullopt, 60.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.args.size() << " " << (c.args.size() > 1 ? c.args[1] : L""));
    ProbeOptions options;
    std::wstring error;
    ASSERT_TRUE(Parse(c.args, &options, &error));
    EXPECT_EQ(c.mode.width, options.mode.width);
    EXPECT_EQ(c.mode.height, options.mode.height);
    EXPECT_EQ(c.mode.subtype, options.mode.subtype);
    EXPECT_DOUBLE_EQ(c.mode.fps, options.mode.fps);
    EXPECT_EQ(!c.args.empty(), options.mode.any());
  }
}

TEST(ProbeModeOptions, RefusedCommandLines) {
  const std::vector<std::vector<const wchar_t*>> refused = {
      {L"--size"},          {L"--size", L"640"},        {L"--size", L"640x"},      {L"--size", L"x480"},
      {L"--size", L"0x480"}, {L"--size", L"640x480x2"}, {L"--size", L"-640x480"},  {L"--size", L"640 x 480"},
      {L"--size", L"99999x480"}, {L"--subtype", L"MJPG"}, {L"--subtype", L""},    {L"--fps", L"0.99"},
      {L"--fps", L"61"},    {L"--fps", L"30fps"},       {L"--fps", L"nan"},        {L"--fps"},
      // Decimal numbers only: wcstod would read these as 60, 10, 30, 30, 30 and 0.5.
      {L"--fps", L"0x3C"},  {L"--fps", L"1e1"},         {L"--fps", L" 30"},        {L"--fps", L"+30"},
      {L"--fps", L"30."},   {L"--fps", L".5"},          {L"--fps", L"60.01"},      {L"--fps", L"inf"},
  };
  for (const auto& args : refused) {
    ProbeOptions options;
    std::wstring error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args.size() << " " << (args.size() > 1 ? args[1] : L"");
    EXPECT_FALSE(error.empty());
  }
}

Capability Cap(int index, const GUID& subtype, long width, long height, REFERENCE_TIME min = 166667,
               REFERENCE_TIME max = 10000000) {
  Capability capability;
  capability.index = index;
  capability.subtype = subtype;
  capability.width = width;
  capability.height = height;
  capability.frame_interval = 333333;
  capability.min_interval = min;
  capability.max_interval = max;
  return capability;
}

// Like the camera: the default first, then sizes per subtype.
std::vector<Capability> CameraLike() {
  return {Cap(0, MEDIASUBTYPE_YUY2, 1280, 720),  Cap(1, MEDIASUBTYPE_YUY2, 640, 480),
          Cap(2, MEDIASUBTYPE_NV12, 1920, 1080), Cap(3, MEDIASUBTYPE_NV12, 1280, 720),
          Cap(4, MEDIASUBTYPE_RGB24, 640, 480),  Cap(5, MEDIASUBTYPE_RGB24, 1280, 720, 0, 0)};
}

TEST(ChooseCapability, PicksTheCapabilityAndIntervalAskedFor) {
  struct Case {
    ModeRequest request;
    int index;
    VideoSubtype subtype;
    long width, height;
    REFERENCE_TIME interval;
  };
  const Case cases[] = {
      {{640, 480, VideoSubtype::kRgb24, 15.0}, 4, VideoSubtype::kRgb24, 640, 480, 666667},
      {{0, 0, VideoSubtype::kNv12, 0.0}, 3, VideoSubtype::kNv12, 1280, 720, 333333},   // size of the first
      {{640, 480, std::nullopt, 0.0}, 1, VideoSubtype::kYuy2, 640, 480, 333333},      // subtype of the first
      {{0, 0, std::nullopt, 29.97}, 0, VideoSubtype::kYuy2, 1280, 720, 333667},
      {{0, 0, std::nullopt, 60.0}, 0, VideoSubtype::kYuy2, 1280, 720, 166667},
      {{0, 0, std::nullopt, 1.0}, 0, VideoSubtype::kYuy2, 1280, 720, 10000000},
      {{1920, 1080, VideoSubtype::kNv12, 30.0}, 2, VideoSubtype::kNv12, 1920, 1080, 333333},
      // No range reported: the rate is left to SetFormat.
      {{1280, 720, VideoSubtype::kRgb24, 7.5}, 5, VideoSubtype::kRgb24, 1280, 720, 1333333},
  };
  for (const Case& c : cases) {
    ChosenMode chosen;
    std::wstring error;
    ASSERT_TRUE(ChooseCapability(CameraLike(), c.request, &chosen, &error)) << std::string(error.begin(), error.end());
    EXPECT_EQ(c.index, chosen.index);
    EXPECT_EQ(c.subtype, chosen.subtype);
    EXPECT_EQ(c.width, chosen.width);
    EXPECT_EQ(c.height, chosen.height);
    EXPECT_EQ(c.interval, chosen.frame_interval) << c.index;
  }
}

TEST(ChooseCapability, AModeNotOfferedIsRefusedWithWhatIsOffered) {
  struct Case {
    std::vector<Capability> capabilities;
    ModeRequest request;
    std::vector<std::wstring> mentions;
  };
  std::vector<Capability> mjpeg_first = CameraLike();
  mjpeg_first[0].subtype = MEDIASUBTYPE_MJPG;
  const Case cases[] = {
      {CameraLike(), {800, 600, VideoSubtype::kRgb24, 0.0}, {L"RGB24 800x600", L"YUY2 at 1280x720, 640x480", L"NV12 at 1920x1080, 1280x720"}},
      {CameraLike(), {0, 0, VideoSubtype::kI420, 0.0}, {L"I420 1280x720", L"RGB24 at 640x480, 1280x720"}},
      {CameraLike(), {640, 480, VideoSubtype::kRgb24, 61.0}, {L"RGB24 640x480 at 61 fps", L"1 to 60 fps"}},
      {{Cap(0, MEDIASUBTYPE_YUY2, 1280, 720, 333333, 666667)}, {0, 0, std::nullopt, 10.0}, {L"at 10 fps", L"15 to 30 fps"}},
      {mjpeg_first, {640, 480, std::nullopt, 0.0}, {L"MJPG", L"--subtype"}},
      {{}, {640, 480, VideoSubtype::kYuy2, 0.0}, {L"no capabilities"}},
  };
  for (const Case& c : cases) {
    ChosenMode chosen;
    chosen.index = -7;
    std::wstring error;
    EXPECT_FALSE(ChooseCapability(c.capabilities, c.request, &chosen, &error));
    EXPECT_EQ(-7, chosen.index);
    for (const std::wstring& mention : c.mentions) {
      EXPECT_NE(std::wstring::npos, error.find(mention)) << std::string(error.begin(), error.end());
    }
  }
}

TEST(ChooseCapability, RatesAreFormattedForPeople) {
  const std::pair<REFERENCE_TIME, const wchar_t*> cases[] = {
      {333333, L"30"}, {333667, L"29.97"}, {166667, L"60"},    {166666, L"60"},
      {666667, L"15"}, {20000000, L"0.5"}, {0, L"?"},
  };
  for (const auto& [interval, text] : cases) EXPECT_EQ(text, FormatFps(interval)) << interval;
  Capability capability = Cap(21, MEDIASUBTYPE_RGB24, 640, 480);
  capability.frame_rate_list = {166667, 333667, 2000000};
  EXPECT_EQ(L"#21  RGB24  640x480    30 fps; 1 to 60 fps; frame-rate list 60, 29.97, 5", FormatCapability(capability));
  EXPECT_EQ(L"#0   NV12   1280x720   30 fps", FormatCapability(Cap(0, MEDIASUBTYPE_NV12, 1280, 720, 0, 0)));
}

// The camera's filter, made in this process as the module's class factory makes it.
class CameraCapabilitiesTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    HRESULT result = S_OK;
    framework::INonDelegatingUnknown* inner = camera::CreateCameraFilter(nullptr, &result);
    ASSERT_EQ(S_OK, result);
    ASSERT_NE(nullptr, inner);
    inner->InnerAddRef();
    ASSERT_EQ(S_OK, inner->InnerQueryInterface(IID_IBaseFilter, filter_.put_void()));
    inner->InnerRelease();
    ASSERT_EQ(S_OK, FindCapturePin(filter_.get(), &pin_));
  }

  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  platform::ComPtr<IBaseFilter> filter_;
  platform::ComPtr<IPin> pin_;
};

TEST_F(CameraCapabilitiesTest, ReadsEveryCapabilityWithItsRateRangeAndList) {
  std::vector<Capability> capabilities;
  ASSERT_EQ(S_OK, ReadCapabilities(filter_.get(), pin_.get(), &capabilities));
  ASSERT_EQ(30u, capabilities.size());
  const Capability& first = capabilities.front();
  EXPECT_EQ(L"YUY2", SubtypeName(first.subtype));
  EXPECT_EQ(1280, first.width);
  EXPECT_EQ(720, first.height);
  EXPECT_EQ(333333, first.frame_interval);
  EXPECT_EQ(166666, first.min_interval);
  EXPECT_EQ(10000000, first.max_interval);
  EXPECT_EQ((std::vector<LONGLONG>{166666, 333333, 400000, 500000, 666667, 1000000, 2000000}), first.frame_rate_list);
  for (size_t i = 0; i < capabilities.size(); ++i) {
    EXPECT_EQ(static_cast<int>(i), capabilities[i].index);
    EXPECT_EQ(7u, capabilities[i].frame_rate_list.size()) << i;
  }
}

// A device that cannot be asked for its capabilities at all (here Wine's sample
// grabber, whose output pin has no IAMStreamConfig) is a failure, which the probe
// reports as a graph failure; a mode the device does not offer is S_FALSE; one it
// offers becomes the pin's format.
TEST_F(CameraCapabilitiesTest, SelectModeTellsAnUnconfigurableDeviceFromAModeNotOffered) {
  platform::ComPtr<IBaseFilter> grabber;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   grabber.put_void()));
  ChosenMode chosen;
  chosen.index = -7;
  std::wstring error;
  const ModeRequest rgb24 = {640, 480, VideoSubtype::kRgb24, 15.0};
  EXPECT_EQ(E_NOINTERFACE, SelectMode(grabber.get(), rgb24, &chosen, &error));
  EXPECT_NE(std::wstring::npos, error.find(L"IAMStreamConfig")) << std::string(error.begin(), error.end());
  EXPECT_EQ(-7, chosen.index);

  error.clear();
  EXPECT_EQ(S_FALSE, SelectMode(filter_.get(), ModeRequest{800, 600, std::nullopt, 0.0}, &chosen, &error));
  EXPECT_NE(std::wstring::npos, error.find(L"YUY2 800x600")) << std::string(error.begin(), error.end());
  EXPECT_EQ(-7, chosen.index);

  error.clear();
  ASSERT_EQ(S_OK, SelectMode(filter_.get(), rgb24, &chosen, &error));
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(VideoSubtype::kRgb24, chosen.subtype);
  EXPECT_EQ(666667, chosen.frame_interval);
  // The chosen mode, at the asked rate, is now the pin's format.
  platform::ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, pin_.As(&config));
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(S_OK, config->GetFormat(&type));
  ASSERT_NE(nullptr, type);
  EXPECT_EQ(MEDIASUBTYPE_RGB24, type->subtype);
  ASSERT_GE(type->cbFormat, sizeof(VIDEOINFOHEADER));
  const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
  EXPECT_EQ(640, info->bmiHeader.biWidth);
  EXPECT_EQ(480, info->bmiHeader.biHeight);
  EXPECT_EQ(666667, info->AvgTimePerFrame);
  test::DeleteMediaType(type);

  // A capability index the pin does not have is refused before SetFormat.
  chosen.index = 30;
  EXPECT_EQ(E_INVALIDARG, ApplyCapability(pin_.get(), chosen));
}


}  // namespace
}  // namespace veltrano::tools
