// veltrano-feed's command line and sources: accepted and refused options, Y4M
// planar layouts converted to exact YUY2 bytes, looping, refused files, and every
// source at a frame size of --size.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/task_mem.h"
#include "tools/common/colour_conversion.h"
#include "tools/common/frame_stamp.h"
#include "tools/common/image_file.h"
#include "platform/unique_handle.h"
#include "tools/feed/feed_options.h"
#include "tools/feed/still_image_source.h"
#include "tools/feed/test_pattern_source.h"
#include "tools/feed/y4m_file_source.h"
#include "tools/feed/yuy2_file_source.h"

namespace veltrano::tools {
namespace {

bool Parse(std::vector<const wchar_t*> args, FeedOptions* options, std::wstring* error) {
  args.insert(args.begin(), L"veltrano-feed");
  return ParseFeedOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(FeedOptions, AcceptedCommandLines) {
  FeedOptions options;
  std::wstring error;
  ASSERT_TRUE(Parse({}, &options, &error));
  EXPECT_EQ(FeedSourceKind::kPattern, options.source);
  EXPECT_EQ(30.0, options.fps);
  EXPECT_FALSE(options.fps_given);
  EXPECT_EQ(0.0, options.seconds);

  ASSERT_TRUE(Parse({L"--fps", L"29.97", L"--seconds", L"2.5", L"--y4m", L"clip.y4m"}, &options, &error));
  EXPECT_EQ(FeedSourceKind::kY4m, options.source);
  EXPECT_EQ(L"clip.y4m", options.path);
  EXPECT_DOUBLE_EQ(29.97, options.fps);
  EXPECT_TRUE(options.fps_given);
  EXPECT_DOUBLE_EQ(2.5, options.seconds);

  ASSERT_TRUE(Parse({L"--image", L"a b.png"}, &options, &error));
  EXPECT_EQ(FeedSourceKind::kImage, options.source);
  EXPECT_EQ(L"a b.png", options.path);
}

TEST(FeedOptions, RefusedCommandLines) {
  const std::vector<std::vector<const wchar_t*>> refused = {
      {L"--fps"},          {L"--fps", L"0"},          {L"--fps", L"30x"},     {L"--fps", L"nan"},
      {L"--fps", L"241"},  {L"--seconds", L"-1"},     {L"--seconds", L"0"},   {L"--image"},
      {L"--image", L""},   {L"--pattern", L"--yuy2", L"f"},                  {L"--y4m", L"a", L"--image", L"b"},
      {L"--frobnicate"},   {L"pattern"},
  };
  for (const auto& args : refused) {
    FeedOptions options;
    std::wstring error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args.size();
    EXPECT_FALSE(error.empty());
  }
}

TEST(FeedOptions, SizeIsAnEvenWidthUpTo3840ByAHeightUpTo2160) {
  FeedOptions options;
  std::wstring error;
  ASSERT_TRUE(Parse({}, &options, &error));
  EXPECT_EQ(1280, options.size.width);
  EXPECT_EQ(720, options.size.height);
  const std::pair<const wchar_t*, FrameSize> accepted[] = {
      {L"640x480", {640, 480}}, {L"3840X2160", {3840, 2160}}, {L"2x2", {2, 2}}, {L"1920x1081", {1920, 1081}},
  };
  for (const auto& [text, size] : accepted) {
    ASSERT_TRUE(Parse({L"--size", text}, &options, &error)) << text;
    EXPECT_EQ(size.width, options.size.width) << text;
    EXPECT_EQ(size.height, options.size.height) << text;
  }
  for (const wchar_t* text : {L"641x480", L"3842x2160", L"3840x2161", L"0x2", L"2x1", L"640", L"640x480p", L"x480", L""}) {
    EXPECT_FALSE(Parse({L"--size", text}, &options, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

TEST(TestPattern, OtherSizesGetThePictureInProportionBetweenBarsWithAReadableStamp) {
  struct Case {
    int width, height;
    int picture_top;  // first row of the 16:9 picture
  };
  const Case cases[] = {{1280, 720, 0}, {640, 480, 60}, {640, 360, 0}, {1920, 1080, 0}, {320, 240, 30}};
  const Yuv first_bar = RgbToYuv(191, 191, 191);
  const Yuv last_bar = RgbToYuv(0, 0, 191);
  for (const Case& c : cases) {
    TestPatternSource pattern(c.width, c.height);
    std::vector<uint8_t> frame(static_cast<size_t>(c.width) * c.height * 2);
    std::wstring error;
    ASSERT_TRUE(pattern.Render(41, frame.data(), &error));
    pattern.Stamp(41, 987654321, frame.data());
    auto pixel = [&](int x, int y) { return frame.data() + (static_cast<size_t>(y) * c.width + (x & ~1)) * 2; };
    if (c.picture_top > 0) {
      EXPECT_EQ(16, pixel(c.width / 2, c.picture_top - 1)[0]) << c.width;  // black bar above
      EXPECT_EQ(16, pixel(c.width / 2, c.height - c.picture_top)[0]) << c.width;  // and below
    }
    // Bars at a third of the picture's height, below the text; ramp's white end last.
    const int bar_row = c.picture_top + (c.height - 2 * c.picture_top) / 3;
    EXPECT_EQ(first_bar.y, pixel(c.width / 40, bar_row)[0]) << c.width;
    EXPECT_EQ(first_bar.u, pixel(c.width / 40, bar_row)[1]) << c.width;
    EXPECT_EQ(last_bar.y, pixel(c.width - 2, bar_row)[0]) << c.width;
    EXPECT_EQ(last_bar.v, pixel(c.width - 2, bar_row)[3]) << c.width;
    EXPECT_EQ(235, pixel(c.width - 2, c.height - c.picture_top - 1)[0]) << c.width;

    const FrameLayout layout{VideoSubtype::kYuy2, c.width, c.height, false};
    const std::optional<FrameStamp> stamp = ReadFrameStamp(
        FrameView(layout, frame.data(), frame.size()), FitRect(kStampDesignWidth, kStampDesignHeight, c.width, c.height));
    ASSERT_TRUE(stamp.has_value()) << c.width << "x" << c.height;
    EXPECT_EQ(41u, stamp->counter);
    EXPECT_EQ(987654321u, stamp->send_time);
  }
  // At its own size the strip is where a plain 1280 x 720 reader looks.
  TestPatternSource pattern;
  std::vector<uint8_t> frame(kFrameBytes);
  std::wstring error;
  ASSERT_TRUE(pattern.Render(5, frame.data(), &error));
  pattern.Stamp(5, 6, frame.data());
  ASSERT_TRUE(ReadFrameStamp(frame.data(), kFrameWidth, kFrameHeight).has_value());
  EXPECT_EQ(5u, ReadFrameStamp(frame.data(), kFrameWidth, kFrameHeight)->counter);
}

class FeedFileTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t directory[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, directory));
    path_ = std::wstring(directory) + L"veltrano-feed-test-" + std::to_wstring(::GetCurrentProcessId());
  }
  void TearDown() override { ::DeleteFileW(path_.c_str()); }

  void WriteFile(const std::string& bytes) {
    std::ofstream file(path_.c_str(), std::ios::binary | std::ios::trunc);
    file << bytes;
  }

  std::wstring path_;
};

// Y plane: value = frame marker; Cb/Cr planes hold per-sample patterns.
std::string Y4mFrame420(uint8_t luma, uint8_t cb_even, uint8_t cb_odd_row, uint8_t cr) {
  std::string frame = "FRAME\n";
  frame.append(1280 * 720, static_cast<char>(luma));
  std::string cb;
  for (int row = 0; row < 360; ++row) cb.append(640, static_cast<char>(row % 2 ? cb_odd_row : cb_even));
  frame += cb;
  frame.append(640 * 360, static_cast<char>(cr));
  return frame;
}

TEST_F(FeedFileTest, Y4m420RepeatsChromaOnBothRowsAndLoops) {
  WriteFile("YUV4MPEG2 W1280 H720 F30000:1001 Ip A1:1 C420jpeg\n" + Y4mFrame420(50, 60, 70, 80) +
            Y4mFrame420(90, 100, 110, 120));
  std::wstring note;
  std::wstring error;
  auto source = Y4mFileSource::Open(path_, &note, &error);
  ASSERT_NE(nullptr, source) << std::string(error.begin(), error.end());
  EXPECT_NEAR(29.97, source->NativeFps(), 0.001);
  std::vector<uint8_t> frame(kFrameBytes);
  const uint8_t expected_luma[] = {50, 90, 50};
  for (int index = 0; index < 3; ++index) {
    ASSERT_TRUE(source->Render(index, frame.data(), &error));
    const uint8_t luma = expected_luma[index];
    // Rows 0 and 1 share chroma row 0 (even), rows 2 and 3 chroma row 1 (odd).
    const uint8_t cb_even = index == 1 ? 100 : 60;
    const uint8_t cb_odd = index == 1 ? 110 : 70;
    const uint8_t cr = index == 1 ? 120 : 80;
    for (int row : {0, 1, 2, 3, 719}) {
      const uint8_t* pair = frame.data() + static_cast<size_t>(row) * kFrameStride + 2556;
      const uint8_t cb = (row / 2) % 2 ? cb_odd : cb_even;
      EXPECT_EQ(luma, pair[0]) << index << "/" << row;
      EXPECT_EQ(cb, pair[1]) << index << "/" << row;
      EXPECT_EQ(luma, pair[2]) << index << "/" << row;
      EXPECT_EQ(cr, pair[3]) << index << "/" << row;
    }
  }
}

TEST_F(FeedFileTest, Y4m444AveragesChromaPairsAndMonoIsNeutral) {
  std::string frame = "FRAME\n";
  frame.append(1280 * 720, static_cast<char>(100));
  for (int plane = 0; plane < 2; ++plane) {
    for (int i = 0; i < 1280 * 720; ++i) frame.push_back(static_cast<char>(i % 2 ? 101 : 50 + plane));
  }
  WriteFile("YUV4MPEG2 W1280 H720 F25:1 C444\n" + frame);
  std::wstring note;
  std::wstring error;
  auto source = Y4mFileSource::Open(path_, &note, &error);
  ASSERT_NE(nullptr, source);
  EXPECT_EQ(25.0, source->NativeFps());
  std::vector<uint8_t> yuy2(kFrameBytes);
  ASSERT_TRUE(source->Render(0, yuy2.data(), &error));
  EXPECT_EQ(100, yuy2[0]);
  EXPECT_EQ((50 + 101) / 2, yuy2[1]);
  EXPECT_EQ((51 + 101) / 2, yuy2[3]);

  source.reset();
  WriteFile("YUV4MPEG2 W1280 H720 Cmono\nFRAME\n" + std::string(1280 * 720, static_cast<char>(42)));
  source = Y4mFileSource::Open(path_, &note, &error);
  ASSERT_NE(nullptr, source);
  ASSERT_TRUE(source->Render(0, yuy2.data(), &error));
  EXPECT_EQ(42, yuy2[kFrameBytes - 2]);
  EXPECT_EQ(128, yuy2[kFrameBytes - 1]);
  EXPECT_EQ(128, yuy2[kFrameBytes - 3]);
}

TEST_F(FeedFileTest, UnusableFilesAreRefusedWithAReason) {
  const std::string refused[] = {
      "",
      "P6 1280 720 255\n",
      "YUV4MPEG2 W640 H480 C420jpeg\n" + std::string("FRAME\n") + std::string(640 * 480 * 3 / 2, 'x'),
      "YUV4MPEG2 W1280 H720 C420p10\nFRAME\n",
      "YUV4MPEG2 W1280 H720 It C420jpeg\nFRAME\n",
      "YUV4MPEG2 W1280 H720 C420jpeg\nFRAME\n" + std::string(1000, 'x'),  // truncated frame
  };
  for (const std::string& bytes : refused) {
    WriteFile(bytes);
    std::wstring note;
    std::wstring error;
    EXPECT_EQ(nullptr, Y4mFileSource::Open(path_, &note, &error)) << bytes.substr(0, 30);
    EXPECT_FALSE(error.empty());
  }
  std::wstring note;
  std::wstring error;
  EXPECT_EQ(nullptr, Y4mFileSource::Open(path_ + L".missing", &note, &error));
}

TEST_F(FeedFileTest, RawYuy2NeedsWholeFramesAndLoops) {
  std::wstring note;
  std::wstring error;
  WriteFile(std::string(kFrameBytes - 1, 'a'));
  EXPECT_EQ(nullptr, Yuy2FileSource::Open(path_, &note, &error));
  WriteFile(std::string(kFrameBytes + 1, 'a'));
  EXPECT_EQ(nullptr, Yuy2FileSource::Open(path_, &note, &error));
  EXPECT_EQ(nullptr, Yuy2FileSource::Open(path_ + L".missing", &note, &error));

  WriteFile(std::string(kFrameBytes, 'a') + std::string(kFrameBytes, 'b'));
  auto source = Yuy2FileSource::Open(path_, &note, &error);
  ASSERT_NE(nullptr, source);
  std::vector<uint8_t> frame(kFrameBytes);
  const char expected[] = {'a', 'b', 'a', 'b', 'a'};
  for (int index = 0; index < 5; ++index) {
    ASSERT_TRUE(source->Render(index, frame.data(), &error));
    EXPECT_EQ(expected[index], frame[0]) << index;
    EXPECT_EQ(expected[index], frame[kFrameBytes - 1]) << index;
  }
}

TEST_F(FeedFileTest, FilesOfTheFrameSizeAreSentAndOthersRefused) {
  std::wstring note;
  std::wstring error;
  // Raw YUY2 of 4 x 2: 16 bytes a frame.
  WriteFile(std::string(16, 'a') + std::string(16, 'b'));
  auto raw = Yuy2FileSource::Open(path_, &note, &error, FrameSize{4, 2});
  ASSERT_NE(nullptr, raw) << std::string(error.begin(), error.end());
  std::vector<uint8_t> frame(16 + 1, 'z');
  ASSERT_TRUE(raw->Render(0, frame.data(), &error));
  EXPECT_EQ('a', frame[15]);
  ASSERT_TRUE(raw->Render(1, frame.data(), &error));
  EXPECT_EQ('b', frame[15]);
  EXPECT_EQ('z', frame[16]);  // exactly one frame written
  raw.reset();
  WriteFile(std::string(24, 'a'));
  EXPECT_EQ(nullptr, Yuy2FileSource::Open(path_, &note, &error, FrameSize{4, 2}));
  EXPECT_NE(std::wstring::npos, error.find(L"4x2"));

  // Y4M 4:2:0 of 4 x 3: the odd last row has chroma rows of its own (2 x 2 planes).
  std::string y4m = "YUV4MPEG2 W4 H3 F30:1 C420\nFRAME\n";
  y4m += std::string(12, static_cast<char>(90));
  y4m += std::string{char(10), char(11), char(12), char(13)};  // U
  y4m += std::string{char(20), char(21), char(22), char(23)};  // V
  WriteFile(y4m);
  auto source = Y4mFileSource::Open(path_, &note, &error, FrameSize{4, 3});
  ASSERT_NE(nullptr, source) << std::string(error.begin(), error.end());
  std::vector<uint8_t> yuy2(4 * 3 * 2);
  ASSERT_TRUE(source->Render(0, yuy2.data(), &error));
  const uint8_t expected[] = {90, 10, 90, 20, 90, 11, 90, 21, 90, 10, 90, 20, 90, 11, 90, 21, 90, 12, 90, 22, 90, 13, 90, 23};
  EXPECT_EQ(std::vector<uint8_t>(std::begin(expected), std::end(expected)), yuy2);
  source.reset();
  EXPECT_EQ(nullptr, Y4mFileSource::Open(path_, &note, &error, FrameSize{4, 4}));
  EXPECT_NE(std::wstring::npos, error.find(L"4x4"));
}

TEST_F(FeedFileTest, AStillImageIsFittedIntoTheFrameSize) {
  const platform::ScopedComInit com(COINIT_MULTITHREADED);
  ASSERT_TRUE(com.succeeded());
  BgraImage white;
  white.width = 2;
  white.height = 2;
  white.pixels.assign(16, 255);
  const std::wstring png = path_ + L".png";
  ASSERT_EQ(S_OK, WritePngFile(png, white));
  std::wstring note;
  std::wstring error;
  auto source = StillImageSource::Open(png, &note, &error, FrameSize{8, 4});
  ::DeleteFileW(png.c_str());
  ASSERT_NE(nullptr, source) << std::string(error.begin(), error.end());
  std::vector<uint8_t> frame(8 * 4 * 2);
  ASSERT_TRUE(source->Render(0, frame.data(), &error));
  // A square picture in an 8 x 4 frame: 4 x 4 in the middle, black columns 0-1 and 6-7.
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 2 && x < 6;
      EXPECT_EQ(inside ? 235 : 16, frame[(y * 8 + x) * 2]) << x << "," << y;
    }
  }
  EXPECT_NE(std::wstring::npos, note.find(L"letterboxed into 8x4"));
}

// File offsets are 64-bit on both bitnesses: a 32-bit feed reading a clip of more than
// 4 GiB must neither refuse it nor lose frames to a wrapped size. The file is sparse
// (extended, not written), so it costs no disk space.
TEST_F(FeedFileTest, RawYuy2PastFourGibCountsEveryFrame) {
  constexpr uint64_t kFrames = 2331;  // 4296499200 bytes, just past 2^32
  {
    platform::UniqueFileHandle file(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    DWORD returned = 0;
    ::DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(kFrames * kFrameBytes);
    ASSERT_TRUE(::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.get())) << ::GetLastError();
  }
  std::wstring note;
  std::wstring error;
  auto source = Yuy2FileSource::Open(path_, &note, &error);
  ASSERT_NE(nullptr, source) << std::string(error.begin(), error.end());
  EXPECT_NE(std::wstring::npos, note.find(L": 2331 frames")) << std::string(note.begin(), note.end());
}

}  // namespace
}  // namespace veltrano::tools
