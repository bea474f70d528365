// The probe's picture check tells the real placeholder from the flat grey the camera
// falls back to and from a host's picture.
#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace veltrano::tools
