// PNG output and image input through the real WIC runtime: exact pixels back, and
// the letterboxing of pictures of another size.
#include "tools/common/image_file.h"

#include <gtest/gtest.h>

#include "platform/task_mem.h"

namespace veltrano::tools {
namespace {

class ImageFileTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    wchar_t directory[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, directory));
    path_ = std::wstring(directory) + L"veltrano-image-test-" + std::to_wstring(::GetCurrentProcessId()) + L".png";
  }
  void TearDown() override { ::DeleteFileW(path_.c_str()); }

  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  std::wstring path_;
};

BgraImage Solid(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
  BgraImage image;
  image.width = width;
  image.height = height;
  for (int i = 0; i < width * height; ++i) image.pixels.insert(image.pixels.end(), {b, g, r, 255});
  return image;
}

TEST_F(ImageFileTest, PngRoundTripKeepsEveryPixel) {
  BgraImage image;
  image.width = 7;
  image.height = 3;
  for (int i = 0; i < image.width * image.height; ++i) {
    image.pixels.insert(image.pixels.end(), {uint8_t(i * 11), uint8_t(255 - i), uint8_t(i * 3), 255});
  }
  ASSERT_EQ(S_OK, WritePngFile(path_, image));
  BgraImage read;
  ASSERT_EQ(S_OK, ReadImageFile(path_, &read));
  EXPECT_EQ(7, read.width);
  EXPECT_EQ(3, read.height);
  EXPECT_EQ(image.pixels, read.pixels);
}

TEST_F(ImageFileTest, RefusesInconsistentImagesAndMissingFiles) {
  BgraImage image = Solid(4, 4, 1, 2, 3);
  image.pixels.pop_back();
  EXPECT_EQ(E_INVALIDARG, WritePngFile(path_, image));
  EXPECT_EQ(E_INVALIDARG, WritePngFile(path_, BgraImage{}));
  BgraImage read;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ReadImageFile(path_ + L".missing", &read));
  EXPECT_EQ(E_POINTER, ReadImageFile(path_, nullptr));
}

TEST_F(ImageFileTest, FitLetterboxesAWidePictureAndPillarboxesATallOne) {
  BgraImage fitted;
  int width = 0;
  int height = 0;
  // 4:3 into 16:9: 960 x 720 centred, 160 black columns each side.
  ASSERT_EQ(S_OK, FitImage(Solid(640, 480, 10, 200, 30), 1280, 720, &fitted, &width, &height));
  EXPECT_EQ(960, width);
  EXPECT_EQ(720, height);
  ASSERT_EQ(1280, fitted.width);
  ASSERT_EQ(720, fitted.height);
  auto pixel = [&](int x, int y) { return fitted.pixels.data() + (static_cast<size_t>(y) * 1280 + x) * 4; };
  for (int y : {0, 359, 719}) {
    EXPECT_EQ(0, pixel(159, y)[1]);
    EXPECT_EQ(255, pixel(159, y)[3]);
    EXPECT_EQ(200, pixel(160, y)[1]);
    EXPECT_EQ(200, pixel(1119, y)[1]);
    EXPECT_EQ(0, pixel(1120, y)[1]);
  }
  // 2:1 into 16:9: 1280 x 640 with 40 black rows above and below.
  ASSERT_EQ(S_OK, FitImage(Solid(200, 100, 10, 200, 30), 1280, 720, &fitted, &width, &height));
  EXPECT_EQ(1280, width);
  EXPECT_EQ(640, height);
  EXPECT_EQ(0, pixel(640, 39)[1]);
  EXPECT_EQ(200, pixel(640, 40)[1]);
  EXPECT_EQ(200, pixel(640, 679)[1]);
  EXPECT_EQ(0, pixel(640, 680)[1]);
}

}  // namespace
}  // namespace veltrano::tools
