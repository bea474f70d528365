// Decoding captured frames of every subtype to BGRA: exact pixels of one small picture
// in each YUV layout, RGB rows bottom-up with their padding skipped, the PNG's top
// row, frame sizes, and the letterbox rectangle.
#include "tools/common/frame_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/task_mem.h"

namespace veltrano::tools {
namespace {

// One 4 x 4 picture: luma per pixel, and 4:2:0 chroma per 2 x 2 block, so that the
// same picture has an exact YUY2, NV12 and I420 form.
constexpr uint8_t kLuma[4][4] = {{16, 235, 100, 100}, {235, 16, 100, 100}, {180, 180, 16, 16}, {180, 180, 235, 235}};
constexpr uint8_t kU[2][2] = {{128, 90}, {60, 200}};
constexpr uint8_t kV[2][2] = {{128, 240}, {200, 60}};
// BGR of each pixel, worked out from the studio-range formula.
constexpr uint8_t kExpected[4][4][3] = {
    {{0, 0, 0}, {255, 255, 255}, {21, 22, 255}, {21, 22, 255}},
    {{255, 255, 255}, {0, 0, 0}, {21, 22, 255}, {21, 22, 255}},
    {{54, 159, 255}, {54, 159, 255}, {145, 27, 0}, {145, 27, 0}},
    {{54, 159, 255}, {54, 159, 255}, {255, 255, 146}, {255, 255, 146}},
};

std::vector<uint8_t> Yuy2Picture() {
  std::vector<uint8_t> frame;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; x += 2) frame.insert(frame.end(), {kLuma[y][x], kU[y / 2][x / 2], kLuma[y][x + 1], kV[y / 2][x / 2]});
  }
  return frame;
}

std::vector<uint8_t> PlanarPicture(bool interleaved) {
  std::vector<uint8_t> frame;
  for (const auto& row : kLuma) frame.insert(frame.end(), row, row + 4);
  if (interleaved) {
    for (int y = 0; y < 2; ++y) frame.insert(frame.end(), {kU[y][0], kV[y][0], kU[y][1], kV[y][1]});
  } else {
    for (const auto& row : kU) frame.insert(frame.end(), row, row + 2);
    for (const auto& row : kV) frame.insert(frame.end(), row, row + 2);
  }
  return frame;
}

TEST(FrameDecoder, EveryYuvLayoutOfOnePictureDecodesToTheSamePixels) {
  struct Case {
    VideoSubtype subtype;
    std::vector<uint8_t> frame;
  };
  const Case cases[] = {
      {VideoSubtype::kYuy2, Yuy2Picture()},
      {VideoSubtype::kNv12, PlanarPicture(true)},
      {VideoSubtype::kI420, PlanarPicture(false)},
  };
  for (const Case& c : cases) {
    const FrameView view(FrameLayout{c.subtype, 4, 4, false}, c.frame.data(), c.frame.size());
    ASSERT_TRUE(view.valid()) << static_cast<int>(c.subtype);
    const BgraImage image = DecodeFrame(view);
    ASSERT_EQ(4, image.width);
    ASSERT_EQ(4, image.height);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        const uint8_t* pixel = image.pixels.data() + (y * 4 + x) * 4;
        for (int k = 0; k < 3; ++k) EXPECT_EQ(kExpected[y][x][k], pixel[k]) << int(c.subtype) << " " << x << "," << y;
        EXPECT_EQ(255, pixel[3]);
        EXPECT_EQ(kLuma[y][x], view.Luma(x, y)) << int(c.subtype) << " " << x << "," << y;
        EXPECT_EQ(kU[y / 2][x / 2], view.PixelYuv(x, y).u) << int(c.subtype) << " " << x << "," << y;
        EXPECT_EQ(kV[y / 2][x / 2], view.PixelYuv(x, y).v) << int(c.subtype) << " " << x << "," << y;
      }
    }
  }
}

// A 3 x 2 RGB picture: top row B,G,R = 1..9, bottom row 10..18; 0xEE where a row
// holds padding or RGB32's unused byte.
std::vector<uint8_t> RgbRows(int bytes_per_pixel, bool bottom_up) {
  std::vector<uint8_t> rows[2];
  for (int row = 0; row < 2; ++row) {
    for (int x = 0; x < 3; ++x) {
      const uint8_t first = static_cast<uint8_t>(1 + row * 9 + x * 3);
      rows[row].insert(rows[row].end(), {first, uint8_t(first + 1), uint8_t(first + 2)});
      if (bytes_per_pixel == 4) rows[row].push_back(0xEE);
    }
    while (rows[row].size() % 4) rows[row].push_back(0xEE);
  }
  std::vector<uint8_t> frame = bottom_up ? rows[1] : rows[0];
  const std::vector<uint8_t>& second = bottom_up ? rows[0] : rows[1];
  frame.insert(frame.end(), second.begin(), second.end());
  return frame;
}

TEST(FrameDecoder, RgbRowsRunBottomUpUnlessTopDownAndSkipTheirPadding) {
  struct Case {
    VideoSubtype subtype;
    int bytes_per_pixel;
    bool bottom_up;
  };
  const Case cases[] = {
      {VideoSubtype::kRgb24, 3, true}, {VideoSubtype::kRgb24, 3, false},  // rows of 9 bytes padded to 12
      {VideoSubtype::kRgb32, 4, true}, {VideoSubtype::kRgb32, 4, false},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> frame = RgbRows(c.bytes_per_pixel, c.bottom_up);
    const FrameLayout layout{c.subtype, 3, 2, c.bottom_up};
    ASSERT_EQ(24u, FrameBytes(layout));
    ASSERT_EQ(24u, frame.size());
    const BgraImage image = DecodeFrame(FrameView(layout, frame.data(), frame.size()));
    ASSERT_EQ(3, image.width);
    ASSERT_EQ(2, image.height);
    std::vector<uint8_t> expected;
    for (int i = 0; i < 6; ++i) expected.insert(expected.end(), {uint8_t(1 + i * 3), uint8_t(2 + i * 3), uint8_t(3 + i * 3), 255});
    EXPECT_EQ(expected, image.pixels) << int(c.subtype) << " bottom-up " << c.bottom_up;
  }
  // Luma of an RGB pixel is the studio-range conversion of its colour: white 235.
  const uint8_t white[4] = {255, 255, 255, 0};
  EXPECT_EQ(235, FrameView(FrameLayout{VideoSubtype::kRgb32, 1, 1, true}, white, 4).Luma(0, 0));
}

TEST(FrameDecoder, ABottomUpPictureIsWrittenTopRowFirst) {
  const platform::ScopedComInit com(COINIT_MULTITHREADED);
  ASSERT_TRUE(com.succeeded());
  const std::vector<uint8_t> frame = RgbRows(3, true);
  const BgraImage image = DecodeFrame(FrameView(FrameLayout{VideoSubtype::kRgb24, 3, 2, true}, frame.data(), frame.size()));
  wchar_t directory[MAX_PATH];
  ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, directory));
  const std::wstring path = std::wstring(directory) + L"veltrano-decoder-test-" + std::to_wstring(::GetCurrentProcessId()) + L".png";
  ASSERT_EQ(S_OK, WritePngFile(path, image));
  BgraImage read;
  const HRESULT hr = ReadImageFile(path, &read);
  ::DeleteFileW(path.c_str());
  ASSERT_EQ(S_OK, hr);
  ASSERT_EQ(2, read.height);
  EXPECT_EQ(1, read.pixels[0]);    // the picture's top row comes first
  EXPECT_EQ(10, read.pixels[12]);  // its bottom row second
}

TEST(FrameDecoder, FrameAndRowBytesOfEachLayout) {
  struct Case {
    VideoSubtype subtype;
    int width, height;
    size_t row_bytes, frame_bytes;
  };
  const Case cases[] = {
      {VideoSubtype::kYuy2, 640, 480, 1280, 614400},   {VideoSubtype::kNv12, 1920, 1080, 1920, 3110400},
      {VideoSubtype::kI420, 320, 240, 320, 115200},    {VideoSubtype::kRgb24, 641, 2, 1924, 3848},
      {VideoSubtype::kRgb24, 640, 480, 1920, 921600},  {VideoSubtype::kRgb32, 3, 2, 12, 24},
      {VideoSubtype::kYuy2, 641, 480, 0, 0},           {VideoSubtype::kNv12, 640, 481, 0, 0},
      {VideoSubtype::kI420, 641, 480, 0, 0},           {VideoSubtype::kRgb24, 0, 480, 0, 0},
      {VideoSubtype::kRgb32, 640, -480, 0, 0},         {VideoSubtype::kRgb32, 16385, 1, 0, 0},
  };
  for (const Case& c : cases) {
    const FrameLayout layout{c.subtype, c.width, c.height, false};
    EXPECT_EQ(c.row_bytes, RowBytes(layout)) << int(c.subtype) << " " << c.width << "x" << c.height;
    EXPECT_EQ(c.frame_bytes, FrameBytes(layout)) << int(c.subtype) << " " << c.width << "x" << c.height;
  }
}

TEST(FrameDecoder, AShortOrMissingFrameIsNotDecoded) {
  const std::vector<uint8_t> frame = PlanarPicture(true);
  const FrameLayout layout{VideoSubtype::kNv12, 4, 4, false};
  EXPECT_FALSE(FrameView(layout, frame.data(), frame.size() - 1).valid());
  EXPECT_FALSE(FrameView(layout, nullptr, frame.size()).valid());
  const BgraImage image = DecodeFrame(FrameView(layout, frame.data(), frame.size() - 1));
  EXPECT_EQ(0, image.width);
  EXPECT_TRUE(image.pixels.empty());
}

TEST(FrameDecoder, FitRectCentresThePictureBetweenBars) {
  struct Case {
    int source_width, source_height, width, height;
    PictureRect expected;
  };
  const Case cases[] = {
      {1280, 720, 1920, 1080, {0, 0, 1920, 1080}}, {1280, 720, 640, 480, {0, 60, 640, 360}},
      {1280, 720, 320, 240, {0, 30, 320, 180}},    {640, 480, 1280, 720, {160, 0, 960, 720}},
      {1280, 720, 0, 720, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const PictureRect rect = FitRect(c.source_width, c.source_height, c.width, c.height);
    EXPECT_EQ(c.expected.left, rect.left) << c.width << "x" << c.height;
    EXPECT_EQ(c.expected.top, rect.top) << c.width << "x" << c.height;
    EXPECT_EQ(c.expected.width, rect.width) << c.width << "x" << c.height;
    EXPECT_EQ(c.expected.height, rect.height) << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace veltrano::tools
