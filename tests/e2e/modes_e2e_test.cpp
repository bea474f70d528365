// Every pixel format and rate through the real DirectShow runtime: the camera chosen
// to a mode with IAMStreamConfig, connected to qedit's sample grabber set to that
// subtype, showing colour bars that a producer in this process writes at 1280 x 720.
// Pixel values are checked at the centre of each bar, top and bottom the right way
// round, with black bars where the shape differs; rates within wide bounds.
#include <dshow.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "VeltranoVirtualCamera.h"
#include "camera_e2e_fixture.h"
#include "capture_graph.h"
#include "common/com_test_helpers.h"
#include "platform/media_guids.h"

namespace veltrano::test {
namespace {

using platform::ComPtr;

struct Rgb {
  int r, g, b;
};
// White, yellow, cyan, green, magenta, red, blue, black: eight bars of 160 pixels in
// the top half of the picture, the same in reverse order in the bottom half.
constexpr Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

struct Yuv {
  int y, u, v;
};
Yuv ToYuv(const Rgb& c) {
  return {((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16, ((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8) + 128,
          ((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8) + 128};
}

const Rgb& BarAt(int x, int y) { return y < 360 ? kBars[x / 160] : kBars[7 - x / 160]; }

std::vector<uint8_t> ColourBars() {
  std::vector<uint8_t> frame(1280 * 720 * 2);
  for (int y = 0; y < 720; ++y) {
    for (int x = 0; x < 1280; x += 2) {
      const Yuv yuv = ToYuv(BarAt(x, y));
      uint8_t* pair = &frame[static_cast<size_t>(y) * 2560 + x * 2];
      pair[0] = static_cast<uint8_t>(yuv.y), pair[1] = static_cast<uint8_t>(yuv.u);
      pair[2] = static_cast<uint8_t>(yuv.y), pair[3] = static_cast<uint8_t>(yuv.v);
    }
  }
  return frame;
}

enum class Kind { kYuy2, kNv12, kI420, kRgb24, kRgb32 };

// One pixel of a delivered sample, as Y U V for the YUV formats and as R G B (in the
// y, u, v members) for the RGB ones, with (x, y) counted from the picture's top left.
Yuv PixelAt(Kind kind, const std::vector<uint8_t>& s, int width, int height, int x, int y) {
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma_row = static_cast<size_t>(y / 2) * (width / 2) + x / 2;
  switch (kind) {
    case Kind::kYuy2: {
      const uint8_t* pair = &s[static_cast<size_t>(y) * width * 2 + (x & ~1) * 2];
      return {pair[(x & 1) * 2], pair[1], pair[3]};
    }
    case Kind::kNv12: {
      const uint8_t* uv = &s[luma + static_cast<size_t>(y / 2) * width + (x & ~1)];
      return {s[static_cast<size_t>(y) * width + x], uv[0], uv[1]};
    }
    case Kind::kI420:
      return {s[static_cast<size_t>(y) * width + x], s[luma + chroma_row], s[luma + luma / 4 + chroma_row]};
    case Kind::kRgb24:
    case Kind::kRgb32: {
      const int bytes = kind == Kind::kRgb24 ? 3 : 4;
      const size_t row = (static_cast<size_t>(width) * bytes + 3) / 4 * 4;
      // Bottom-up: the picture's top row is the buffer's last.
      const uint8_t* bgr = &s[(height - 1 - y) * row + static_cast<size_t>(x) * bytes];
      return {bgr[2], bgr[1], bgr[0]};
    }
  }
  return {};
}

// IAMStreamConfig::SetFormat with only the subtype and size, as clients often give
// them; the camera fills in the rest.
HRESULT SetSize(IBaseFilter* camera, const GUID& subtype, LONG width, LONG height) {
  ComPtr<IAMStreamConfig> config;
  if (HRESULT hr = camera->QueryInterface(IID_IAMStreamConfig, config.put_void()); FAILED(hr)) return hr;
  VIDEOINFOHEADER info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  AM_MEDIA_TYPE type = {};
  type.majortype = MEDIATYPE_Video;
  type.subtype = subtype;
  type.formattype = FORMAT_VideoInfo;
  type.cbFormat = sizeof(info);
  type.pbFormat = reinterpret_cast<BYTE*>(&info);
  return config->SetFormat(&type);
}

struct ModeCase {
  const char* name;
  GUID subtype;
  Kind kind;
  LONG width, height;
  size_t bytes;
};

using ModesE2E = CameraE2E;

TEST_F(ModesE2E, EverySubtypeShowsTheColourBarsTheRightWayUp) {
  VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(1280, 720, 2560, 0xBA25);
  ASSERT_NE(nullptr, producer);
  const std::vector<uint8_t> bars = ColourBars();
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer, bars.data(), static_cast<uint32_t>(bars.size()), 0));

  const ModeCase cases[] = {
      {"YUY2 640x480", MEDIASUBTYPE_YUY2, Kind::kYuy2, 640, 480, 614400},
      {"NV12 1920x1080", MEDIASUBTYPE_NV12, Kind::kNv12, 1920, 1080, 3110400},
      {"I420 320x240", platform::kMediaSubtypeI420, Kind::kI420, 320, 240, 115200},
      {"RGB24 640x480", MEDIASUBTYPE_RGB24, Kind::kRgb24, 640, 480, 921600},
      {"RGB32 960x540", MEDIASUBTYPE_RGB32, Kind::kRgb32, 960, 540, 2073600},
  };
  for (const ModeCase& mode : cases) {
    SCOPED_TRACE(mode.name);
    CaptureGraph graph;
    ASSERT_EQ(S_OK, graph.Create(moniker_.get(), mode.subtype));
    ASSERT_EQ(S_OK, SetSize(graph.camera(), mode.subtype, mode.width, mode.height));
    ASSERT_EQ(S_OK, graph.ConnectDirect());
    ASSERT_TRUE(SUCCEEDED(graph.Run()));
    ASSERT_TRUE(graph.frames().WaitForCount(3, 10000));
    ASSERT_EQ(S_OK, graph.Stop());
    const std::vector<uint8_t> sample = graph.frames().LastSample();
    ASSERT_EQ(mode.bytes, sample.size());

    // The 16:9 picture fills the width; a 4:3 frame has bars above and below.
    const int content_height = static_cast<int>(mode.width * 9 / 16);
    const int top = (mode.height - content_height) / 2;
    const bool rgb = mode.kind == Kind::kRgb24 || mode.kind == Kind::kRgb32;
    const Yuv black = rgb ? Yuv{0, 0, 0} : Yuv{16, 128, 128};
    int mismatches = 0;
    const auto expect_near = [&](const Yuv& want, const Yuv& got, int tolerance, const char* what, int x, int y) {
      if (std::abs(want.y - got.y) > tolerance || std::abs(want.u - got.u) > tolerance ||
          std::abs(want.v - got.v) > tolerance) {
        if (++mismatches <= 8) {
          ADD_FAILURE() << what << " at " << x << "," << y << ": want " << want.y << " " << want.u << " "
                        << want.v << ", got " << got.y << " " << got.u << " " << got.v;
        }
      }
    };
    for (int bar = 0; bar < 8; ++bar) {
      const int x = (bar * 160 + 80) * mode.width / 1280;
      for (const int picture_row : {180, 540}) {  // top half, bottom half
        const int y = top + picture_row * content_height / 720;
        const Rgb& colour = BarAt(bar * 160 + 80, picture_row);
        const Yuv want = rgb ? Yuv{colour.r, colour.g, colour.b} : ToYuv(colour);
        expect_near(want, PixelAt(mode.kind, sample, mode.width, mode.height, x, y), rgb ? 3 : 1, "bar", x, y);
      }
      if (top > 0) {
        expect_near(black, PixelAt(mode.kind, sample, mode.width, mode.height, x, 0), 0, "top bar", x, 0);
        expect_near(black, PixelAt(mode.kind, sample, mode.width, mode.height, x, mode.height - 1), 0,
                    "bottom bar", x, mode.height - 1);
      }
    }
  }
  VeltranoVirtualCamera_CloseProducer(producer);
}

// A pin's connection type: subtype and bitmap header (all zero without a connection).
struct Connected {
  GUID subtype = GUID_NULL;
  BITMAPINFOHEADER bitmap = {};
};
Connected ConnectionOf(IPin* pin) {
  Connected result;
  AM_MEDIA_TYPE type = {};
  if (!pin || pin->ConnectionMediaType(&type) != S_OK) return result;
  if (type.formattype == FORMAT_VideoInfo && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    result.subtype = type.subtype;
    result.bitmap = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
  }
  ClearMediaType(&type);
  return result;
}

// A client that fixes only the subtype (a grabber set to RGB24, a renderer that takes
// only RGB32) or none and never calls SetFormat gets the default size in that subtype.
TEST_F(ModesE2E, WithoutSetFormatAConnectionTakesTheDefaultSize) {
  const struct {
    GUID grabber, subtype;
    DWORD image;
  } cases[] = {{MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB24, 2764800}, {GUID_NULL, MEDIASUBTYPE_YUY2, 1843200}};
  for (const auto& c : cases) {
    CaptureGraph graph;
    ASSERT_EQ(S_OK, graph.Create(moniker_.get(), c.grabber));
    ASSERT_EQ(S_OK, graph.ConnectDirect());
    const Connected connected = ConnectionOf(FindPin(graph.camera(), PINDIR_OUTPUT).get());
    EXPECT_EQ(c.subtype, connected.subtype);
    EXPECT_EQ(1280, connected.bitmap.biWidth);
    EXPECT_EQ(720, connected.bitmap.biHeight);
    EXPECT_EQ(c.image, connected.bitmap.biSizeImage);
  }
}

// SetFormat on the connected pin of a stopped graph: the camera asks the graph to
// reconnect it, the graph's Reconnect connects by enumeration and so takes the chosen
// format, and the samples that follow are whole pictures in it.
TEST_F(ModesE2E, SetFormatOnAConnectedPinReconnectsInTheChosenFormat) {
  CaptureGraph graph;
  ASSERT_EQ(S_OK, graph.Create(moniker_.get(), GUID_NULL));  // video of any subtype: YUY2 1280 x 720
  ASSERT_EQ(S_OK, graph.ConnectDirect());
  ASSERT_EQ(S_OK, SetSize(graph.camera(), MEDIASUBTYPE_RGB24, 640, 480));

  // What the grabber, the camera's peer, holds as its connection's type.
  ComPtr<IPin> peer;
  ASSERT_EQ(S_OK, FindPin(graph.camera(), PINDIR_OUTPUT)->ConnectedTo(peer.put()));
  const Connected connected = ConnectionOf(peer.get());
  EXPECT_EQ(MEDIASUBTYPE_RGB24, connected.subtype);
  EXPECT_EQ(640, connected.bitmap.biWidth);
  EXPECT_EQ(480, connected.bitmap.biHeight);
  EXPECT_EQ(24, connected.bitmap.biBitCount);
  EXPECT_EQ(921600u, connected.bitmap.biSizeImage);

  ASSERT_TRUE(SUCCEEDED(graph.Run()));
  ASSERT_TRUE(graph.frames().WaitForCount(3, 10000));
  ASSERT_EQ(S_OK, graph.Stop());
  const std::vector<uint8_t> sample = graph.frames().LastSample();
  ASSERT_EQ(921600u, sample.size());
  // The placeholder picture (no producer runs), not a flat fill.
  EXPECT_NE(sample.end(), std::find_if(sample.begin(), sample.end(), [&](uint8_t b) { return b != sample[0]; }));
}

// Sample times advance by the chosen interval and samples leave about that far apart
// (the median interval, within wide bounds: the machine is shared). 60 fps as clients
// such as ffmpeg ask for it: 10,000,000 / 60 rounded down.
TEST_F(ModesE2E, ChosenRatesAreDelivered) {
  for (const REFERENCE_TIME interval : {REFERENCE_TIME{666667}, REFERENCE_TIME{166666}}) {
    SCOPED_TRACE(testing::Message() << "interval " << interval);
    CaptureGraph graph;
    ASSERT_EQ(S_OK, graph.Create(moniker_.get()));
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(S_OK, graph.camera()->QueryInterface(IID_IAMStreamConfig, config.put_void()));
    AM_MEDIA_TYPE* type = nullptr;
    ASSERT_EQ(S_OK, config->GetFormat(&type));
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
    info->bmiHeader.biWidth = 640;
    info->bmiHeader.biHeight = 480;
    info->bmiHeader.biSizeImage = 0;
    info->AvgTimePerFrame = interval;
    const HRESULT set = config->SetFormat(type);
    DeleteMediaType(type);
    ASSERT_EQ(S_OK, set);
    ASSERT_EQ(S_OK, graph.ConnectWithRenderStream(nullptr));
    ASSERT_TRUE(SUCCEEDED(graph.Run()));
    const size_t wanted = interval == 666667 ? 30 : 120;  // two seconds
    ASSERT_TRUE(graph.frames().WaitForCount(wanted, 10000));
    ASSERT_EQ(S_OK, graph.Stop());

    const std::vector<SampleRecord> records = graph.frames().Records();
    std::vector<double> gaps;
    for (size_t i = 1; i < records.size(); ++i) {
      EXPECT_EQ(interval, records[i].end - records[i].start) << i;
      EXPECT_GT(records[i].start, records[i - 1].start) << i;
      if (i > records.size() / 4) gaps.push_back(QpcToMilliseconds(records[i].arrival_qpc - records[i - 1].arrival_qpc));
    }
    const double median = Percentile(gaps, 0.5);
    std::printf("[ FIGURES  ] %.2f fps chosen: median interval %.2f ms over %zu samples\n", 1e7 / interval, median,
                records.size());
    // Half to one and a half intervals: wide enough for a loaded machine, and still
    // apart from the default 30 fps, which is twice or half each chosen rate.
    EXPECT_GT(median, interval / 10000.0 * 0.5);
    EXPECT_LT(median, interval / 10000.0 * 1.5);
  }
}

}  // namespace
}  // namespace veltrano::test
