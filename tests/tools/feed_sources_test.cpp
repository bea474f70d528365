// veltrano-feed's command line and file sources: accepted and refused options, Y4M
// planar layouts converted to exact YUY2 bytes, looping, and refused files.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "tools/feed/feed_options.h"
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
