// The probe's picture check tells the real placeholder from the flat grey the camera
// falls back to and from a host's picture, in every subtype and letterboxed size.
#include <gtest/gtest.h>

#include <vector>

#include "frame_encoding.h"

#include "camera/placeholder_frame.h"
#include "platform/task_mem.h"
#include "tools/feed/test_pattern_source.h"
#include "tools/probe/picture_check.h"

namespace veltrano::tools {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

std::vector<uint8_t> Placeholder() {
  const platform::ScopedComInit com(COINIT_MULTITHREADED);
  std::vector<uint8_t> frame;
  EXPECT_TRUE(camera::DecodePlaceholderFrame(kWidth, kHeight, frame));
  return frame;
}

TEST(PictureCheck, TheDecodedPlaceholderIsRecognised) {
  const std::vector<uint8_t> frame = Placeholder();
  ASSERT_EQ(static_cast<size_t>(kWidth) * kHeight * 2, frame.size());
  EXPECT_EQ(PictureKind::kPlaceholder, ClassifyPicture(frame.data(), kWidth, kHeight));
}

TEST(PictureCheck, FlatGreyIsNotThePlaceholder) {
  std::vector<uint8_t> grey(static_cast<size_t>(kWidth) * kHeight * 2, 0x80);
  EXPECT_EQ(PictureKind::kFlatGrey, ClassifyPicture(grey.data(), kWidth, kHeight));
  // The placeholder's background without its text line is no placeholder either.
  std::vector<uint8_t> frame = Placeholder();
  ASSERT_FALSE(frame.empty());
  for (size_t i = 0; i < frame.size(); i += 2) {
    if (frame[i] >= 200) frame[i] = 122;
  }
  EXPECT_EQ(PictureKind::kOther, ClassifyPicture(frame.data(), kWidth, kHeight));
}

TEST(PictureCheck, TheFeedsTestPatternIsOther) {
  TestPatternSource source;
  std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 2);
  std::wstring error;
  ASSERT_TRUE(source.Render(7, frame.data(), &error));
  EXPECT_EQ(PictureKind::kOther, ClassifyPicture(frame.data(), kWidth, kHeight));
  EXPECT_EQ(PictureKind::kOther, ClassifyPicture(nullptr, kWidth, kHeight));
}

TEST(PictureCheck, ThePlaceholderInOtherModesIsRecognisedBetweenItsBars) {
  const std::vector<uint8_t> placeholder = Placeholder();
  ASSERT_FALSE(placeholder.empty());
  struct Case {
    VideoSubtype subtype;
    int width;
    int height;
  };
  const Case cases[] = {
      {VideoSubtype::kRgb24, 640, 480}, {VideoSubtype::kNv12, 1920, 1080}, {VideoSubtype::kI420, 960, 540},
      {VideoSubtype::kRgb32, 640, 360}, {VideoSubtype::kYuy2, 640, 480},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> scaled = test::LetterboxYuy2(placeholder, kWidth, kHeight, c.width, c.height);
    const std::vector<uint8_t> frame = test::EncodeFromYuy2(scaled, c.width, c.height, c.subtype);
    const FrameView view(FrameLayout{c.subtype, c.width, c.height, IsRgb(c.subtype)}, frame.data(), frame.size());
    EXPECT_EQ(PictureKind::kPlaceholder, ClassifyPicture(view)) << int(c.subtype) << " " << c.width << "x" << c.height;
  }
}

TEST(PictureCheck, GreyInAnySubtypeIsFlatGreyAndThePatternIsOther) {
  for (const VideoSubtype subtype : {VideoSubtype::kRgb24, VideoSubtype::kNv12, VideoSubtype::kI420}) {
    const FrameLayout layout{subtype, 640, 480, IsRgb(subtype)};
    const std::vector<uint8_t> grey(FrameBytes(layout), 0x80);
    EXPECT_EQ(PictureKind::kFlatGrey, ClassifyPicture(FrameView(layout, grey.data(), grey.size())))
        << int(subtype);
  }
  TestPatternSource source(640, 480);
  std::vector<uint8_t> pattern(static_cast<size_t>(640) * 480 * 2);
  std::wstring error;
  ASSERT_TRUE(source.Render(3, pattern.data(), &error));
  const std::vector<uint8_t> frame = test::EncodeFromYuy2(pattern, 640, 480, VideoSubtype::kRgb32);
  EXPECT_EQ(PictureKind::kOther,
            ClassifyPicture(FrameView(FrameLayout{VideoSubtype::kRgb32, 640, 480, true}, frame.data(), frame.size())));
}

}  // namespace
}  // namespace veltrano::tools
