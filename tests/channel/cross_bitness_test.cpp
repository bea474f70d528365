// The channel between a 32-bit and a 64-bit process: the other bitness's channel
// test executable writes or reads the section, and every header word, slot field and
// frame byte must be where and what the same calls give in this bitness.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "channel/frame_section_reader.h"
#include "channel_test_support.h"
#include "common/child_process.h"

namespace veltrano::channel::test {
namespace {

constexpr DWORD kChildTimeoutMs = 20000;
// Both halves of the 64-bit values differ, so that a torn or truncated word shows.
constexpr uint64_t kTag = 0xF00DFACE12345678ull;
constexpr uint64_t kStamp = 0xA1B2C3D4E5F60718ull;
constexpr uint32_t kSeed = 61;
constexpr uint32_t kFrames = 2;  // the newest lands in slot 2
constexpr uint32_t kSlots1280[kSlotCount] = {128, 1843392, 3686656, 5529920, 7373184, 9216448};

std::wstring UniqueName(const wchar_t* what) {
  return std::wstring(L"Local\\VeltranoChannelBitness.") + what + L"." + std::to_wstring(::GetCurrentProcessId());
}

// "" when the section holds exactly what kFrames writes of frame kSeed with kTag and
// kStamp leave, else the first difference. Reads through the raw bytes, the reader and
// the query export.
std::string DescribeSectionDifference() {
  std::ostringstream out;
  SectionPeek peek;
  if (!peek) return "no section";
  if (peek.Size() < 11059712u) return "section of " + std::to_string(peek.Size()) + " bytes";
  const struct {
    uint32_t offset;
    uint32_t value;
  } words[] = {{0, kFrames}, {4, kFrames}, {8, kStateStreaming}, {12, 1280}, {16, 720}, {20, 2560},
               {24, kFrameBytes}, {28, 1}};  // 28: initialised once
  for (const auto& word : words) {
    if (peek.U32(word.offset) != word.value) {
      out << "header word at " << word.offset << " is " << peek.U32(word.offset) << ", not " << word.value;
      return out.str();
    }
  }
  if (peek.U64(32) != kTag) return "producer tag at 32 differs";
  for (uint32_t k = 0; k < kSlotCount; ++k) {
    if (peek.U32(40 + 4 * k) != kSlots1280[k]) return "slot offset " + std::to_string(k) + " differs";
  }
  for (uint32_t offset = 64; offset < 128; offset += 4) {
    if (peek.U32(offset) != 0) return "reserved header word at " + std::to_string(offset) + " is not zero";
  }
  const uint32_t slot = kSlots1280[kFrames];
  if (peek.U64(slot) != kStamp) return "frame stamp of slot 2 differs";
  if (peek.U32(slot + 8) != kFrameBytes) return "length of slot 2 differs";
  if (peek.U32(slot + 12) != 0) return "reserved word of slot 2 is not zero";
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, kSeed);
  if (std::memcmp(frame.data(), peek.Bytes(slot + 16), kFrameBytes) != 0) return "frame data of slot 2 differs";

  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> copy(kFrameBytes);
  if (reader.CopyNewest(copy.data(), kFrameBytes, kWidth, kHeight) != kFrameBytes || copy != frame) {
    return "the reader did not copy the frame";
  }
  reader.Release();
  int32_t width = 0, height = 0, stride = 0;
  uint64_t tag = 0;
  if (VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &tag) != 1 || width != kWidth ||
      height != kHeight || stride != kStride || tag != kTag) {
    return "GetCurrentFormat differs";
  }
  return "";
}

// Exit codes: 0 the section is as expected, 1 it differs (printed).
VELTRANO_CHILD_MODE(check_section) {
  const std::string difference = DescribeSectionDifference();
  if (difference.empty()) return 0;
  std::printf("%s child: %s\n", ::veltrano::test::OwnBitness(), difference.c_str());
  std::fflush(stdout);
  return 1;
}

// Writes what DescribeSectionDifference expects, signals `ready`, waits for `go`,
// closes. Exit codes: 0 done, 9x a step failed.
VELTRANO_CHILD_MODE(produce_for_check) {
  if (args.size() != 2) return 90;
  platform::UniqueHandle ready = ::veltrano::test::OpenNamedEvent(args[0]);
  platform::UniqueHandle go = ::veltrano::test::OpenNamedEvent(args[1]);
  if (!ready || !go) return 91;
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  if (!producer) return 92;
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, kSeed);
  for (uint32_t i = 0; i < kFrames; ++i) {
    if (!VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, kStamp)) return 93;
  }
  ::SetEvent(ready.get());
  if (::WaitForSingleObject(go.get(), kChildTimeoutMs) != WAIT_OBJECT_0) return 94;
  return 0;
}

class CrossBitness : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    other_ = ::veltrano::test::OtherBitnessExecutable(L"channel_tests.exe");
    if (other_.empty()) {
      GTEST_SKIP() << "the " << ::veltrano::test::OtherBitness()
                   << " build is not there (CTest names it in VELTRANO_OTHER_BITNESS_BIN; scripts/test.sh builds "
                      "both)";
    }
    ASSERT_TRUE(::veltrano::test::FileExists(other_)) << "the other bitness's tests are named but missing";
  }

  std::wstring other_;
};

TEST_F(CrossBitness, SectionWrittenHereReadsTheSameThere) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, kSeed);
  for (uint32_t i = 0; i < kFrames; ++i) {
    ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, kStamp));
  }
  ASSERT_EQ("", DescribeSectionDifference()) << "in this process already";
  auto check = ::veltrano::test::SpawnChildOf(other_, L"check_section");
  ASSERT_TRUE(check.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, check.exit_code) << "the " << ::veltrano::test::OtherBitness() << " reader sees another section";

  // One producer at a time, whatever the bitness.
  auto second = ::veltrano::test::SpawnChildOf(other_, L"try_create");
  ASSERT_TRUE(second.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, second.exit_code) << "a second producer was admitted";
}

TEST_F(CrossBitness, SectionWrittenThereReadsTheSameHere) {
  const std::wstring ready_name = UniqueName(L"ready");
  const std::wstring go_name = UniqueName(L"go");
  platform::UniqueHandle ready = ::veltrano::test::CreateNamedEvent(ready_name);
  platform::UniqueHandle go = ::veltrano::test::CreateNamedEvent(go_name);
  ASSERT_TRUE(ready && go);
  auto child = ::veltrano::test::SpawnChildOf(other_, L"produce_for_check", ready_name + L" " + go_name);
  ASSERT_TRUE(child.process);
  const HANDLE started[] = {ready.get(), child.process.get()};
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, started, FALSE, kChildTimeoutMs)) << "child did not publish";

  EXPECT_EQ("", DescribeSectionDifference());
  EXPECT_FALSE(CreateProducer(kWidth, kHeight, kStride, 5)) << "a second producer was admitted";
  {
    SectionPeek peek;  // keeps the section alive across the child's close
    ::SetEvent(go.get());
    ASSERT_TRUE(child.Wait(kChildTimeoutMs));
    EXPECT_EQ(0u, child.exit_code);
    EXPECT_EQ(kStateClosed, peek.U32(8));
  }
  ProducerPtr after = CreateProducer(kWidth, kHeight, kStride, 5);
  EXPECT_TRUE(after) << "the mutex was released by the other bitness's close";
}

}  // namespace
}  // namespace veltrano::channel::test
