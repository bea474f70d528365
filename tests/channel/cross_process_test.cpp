// The channel between processes: a reader in another process, a second producer in
// another process, and a producer process that ends without closing.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "channel/frame_section_reader.h"
#include "channel_test_support.h"
#include "common/child_process.h"

namespace veltrano::channel::test {
namespace {

constexpr DWORD kChildTimeoutMs = 20000;

std::wstring UniqueName(const wchar_t* what) {
  return std::wstring(L"Local\\VeltranoChannelTest.") + what + L"." + std::to_wstring(::GetCurrentProcessId());
}

// Exit codes: 0 the expected frame arrived, 2 no frame, 3 other bytes.
VELTRANO_CHILD_MODE(read_frame) {
  if (args.size() != 1) return 90;
  const uint32_t seed = static_cast<uint32_t>(std::stoul(args[0]));
  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> sample(kFrameBytes);
  if (reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight) != kFrameBytes) return 2;
  return sample == MakeFrame(kFrameBytes, seed) ? 0 : 3;
}

// Exit codes: 10 * GetCurrentFormat's result + 1 when the fields are the producer's.
VELTRANO_CHILD_MODE(query_format) {
  int32_t width = 0, height = 0, stride = 0;
  uint64_t tag = 0;
  const int32_t streaming = VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &tag);
  const bool fields = width == kWidth && height == kHeight && stride == kStride && tag == 0xC0FFEE;
  return 10 * streaming + (fields ? 1 : 0);
}

// Exit codes: 0 refused, 1 created (and closed again).
VELTRANO_CHILD_MODE(try_create) {
  VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, 5);
  if (!producer) return 0;
  VeltranoVirtualCamera_CloseProducer(producer);
  return 1;
}

// Creates a producer, publishes frame `seed`, signals `ready`, waits for `go` and
// ends without CloseProducer, as a crashing host would.
VELTRANO_CHILD_MODE(produce_and_vanish) {
  if (args.size() != 3) return 90;
  platform::UniqueHandle ready = ::veltrano::test::OpenNamedEvent(args[1]);
  platform::UniqueHandle go = ::veltrano::test::OpenNamedEvent(args[2]);
  if (!ready || !go) return 91;
  VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, 0xC0FFEE);
  if (!producer) return 92;
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, static_cast<uint32_t>(std::stoul(args[0])));
  if (!VeltranoVirtualCamera_WriteFrame(producer, frame.data(), kFrameBytes, 1)) return 93;
  ::SetEvent(ready.get());
  if (::WaitForSingleObject(go.get(), kChildTimeoutMs) != WAIT_OBJECT_0) return 94;
  ::ExitProcess(0);  // the producer handle is never closed
}

// Creates a producer on a thread that then ends, so the mutex is left abandoned while
// the handle lives on; publishes frame `seed` three times, signals `ready`, waits for
// `go`, then tries one more frame and closes. Exit codes: WriteFrame's result of that last try,
// 9x on a setup failure.
VELTRANO_CHILD_MODE(produce_from_an_ended_thread) {
  if (args.size() != 3) return 90;
  platform::UniqueHandle ready = ::veltrano::test::OpenNamedEvent(args[1]);
  platform::UniqueHandle go = ::veltrano::test::OpenNamedEvent(args[2]);
  if (!ready || !go) return 91;
  VeltranoVirtualCameraProducer* producer = nullptr;
  if (!RunOnOtherThread([&] { producer = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, 0xC0FFEE); })) {
    return 92;
  }
  if (!producer) return 93;
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, static_cast<uint32_t>(std::stoul(args[0])));
  for (int i = 0; i < 3; ++i) {
    if (!VeltranoVirtualCamera_WriteFrame(producer, frame.data(), kFrameBytes, 1)) return 94;
  }
  ::SetEvent(ready.get());
  if (::WaitForSingleObject(go.get(), kChildTimeoutMs) != WAIT_OBJECT_0) return 95;
  const std::vector<uint8_t> late = MakeFrame(kFrameBytes, 99);
  const int32_t written = VeltranoVirtualCamera_WriteFrame(producer, late.data(), kFrameBytes, 2);
  VeltranoVirtualCamera_CloseProducer(producer);
  return static_cast<int>(written);
}

using CrossProcess = ChannelTest;

TEST_F(CrossProcess, ReaderAndQueryInAnotherProcessSeeExactlyTheWrittenFrame) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, 0xC0FFEE);
  ASSERT_TRUE(producer);
  auto query = ::veltrano::test::SpawnChild(L"query_format");
  ASSERT_TRUE(query.Wait(kChildTimeoutMs));
  EXPECT_EQ(1u, query.exit_code) << "fields filled, not streaming";

  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 31);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, 0));
  auto reader = ::veltrano::test::SpawnChild(L"read_frame", L"31");
  ASSERT_TRUE(reader.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, reader.exit_code);
  query = ::veltrano::test::SpawnChild(L"query_format");
  ASSERT_TRUE(query.Wait(kChildTimeoutMs));
  EXPECT_EQ(11u, query.exit_code);

  // A newer frame replaces it for the next reader.
  const std::vector<uint8_t> next = MakeFrame(kFrameBytes, 32);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), next.data(), kFrameBytes, 0));
  reader = ::veltrano::test::SpawnChild(L"read_frame", L"32");
  ASSERT_TRUE(reader.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, reader.exit_code);
}

TEST_F(CrossProcess, SecondProducerInAnotherProcessIsRefusedWhileOneLives) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, 0xC0FFEE);
  ASSERT_TRUE(producer);
  auto child = ::veltrano::test::SpawnChild(L"try_create");
  ASSERT_TRUE(child.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, child.exit_code);
  {
    SectionPeek peek;
    EXPECT_EQ(0xC0FFEEu, peek.U64(32));
    EXPECT_EQ(1u, peek.U32(8));
  }
  producer.reset();
  child = ::veltrano::test::SpawnChild(L"try_create");
  ASSERT_TRUE(child.Wait(kChildTimeoutMs));
  EXPECT_EQ(1u, child.exit_code) << "free again once the first producer closed";
}

TEST_F(CrossProcess, ProducerThatEndsWithoutClosingLeavesItsLastFrameAndAnAbandonedMutex) {
  const std::wstring ready_name = UniqueName(L"ready");
  const std::wstring go_name = UniqueName(L"go");
  platform::UniqueHandle ready = ::veltrano::test::CreateNamedEvent(ready_name);
  platform::UniqueHandle go = ::veltrano::test::CreateNamedEvent(go_name);
  ASSERT_TRUE(ready && go);
  auto child = ::veltrano::test::SpawnChild(L"produce_and_vanish", L"41 " + ready_name + L" " + go_name);
  ASSERT_TRUE(child.process);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kChildTimeoutMs)) << "child did not publish";

  FrameSectionReader reader;
  reader.Refresh();
  ASSERT_TRUE(reader.HasView());
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 41);
  std::vector<uint8_t> sample(kFrameBytes);
  ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_EQ(frame, sample);

  ::SetEvent(go.get());
  ASSERT_TRUE(child.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, child.exit_code);

  // The producer is gone but never closed: the state stays streaming, and readers go
  // on with its last frame, sample after sample.
  for (int sample_index = 0; sample_index < 3; ++sample_index) {
    reader.Refresh();
    ASSERT_TRUE(reader.HasView());
    std::fill(sample.begin(), sample.end(), 0);
    ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
    EXPECT_EQ(frame, sample);
  }
  int32_t width = 0;
  uint64_t tag = 0;
  EXPECT_EQ(1, VeltranoVirtualCamera_GetCurrentFormat(&width, nullptr, nullptr, &tag));
  EXPECT_EQ(kWidth, width);
  EXPECT_EQ(0xC0FFEEu, tag);

  // The next producer receives the abandoned mutex and re-initialises the section.
  ProducerPtr next = CreateProducer(kWidth, kHeight, kStride, 77);
  ASSERT_TRUE(next);
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight)) << "created, no frame yet";
  const std::vector<uint8_t> fresh = MakeFrame(kFrameBytes, 42);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(next.get(), fresh.data(), kFrameBytes, 0));
  reader.Refresh();
  ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_EQ(fresh, sample);
}

// A producer in this process, with a tag of its own, takes the section over from a
// child whose creating thread has ended while the child still holds its handle; the
// child then tries one more frame and closes.
void TakeOverFromAnEndedThread(uint64_t tag) {
  const std::wstring ready_name = UniqueName(L"ready");
  const std::wstring go_name = UniqueName(L"go");
  platform::UniqueHandle ready = ::veltrano::test::CreateNamedEvent(ready_name);
  platform::UniqueHandle go = ::veltrano::test::CreateNamedEvent(go_name);
  ASSERT_TRUE(ready && go);
  auto child = ::veltrano::test::SpawnChild(L"produce_from_an_ended_thread", L"51 " + ready_name + L" " + go_name);
  ASSERT_TRUE(child.process);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kChildTimeoutMs)) << "child did not publish";

  ProducerPtr next = CreateProducer(kWidth, kHeight, kStride, tag);
  ASSERT_TRUE(next) << "the abandoned mutex is taken over";
  const std::vector<uint8_t> fresh = MakeFrame(kFrameBytes, 52);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(next.get(), fresh.data(), kFrameBytes, 0));

  ::SetEvent(go.get());
  ASSERT_TRUE(child.Wait(kChildTimeoutMs));
  EXPECT_EQ(0u, child.exit_code) << "the old handle's frame was refused";

  SectionPeek peek;
  ASSERT_TRUE(peek);
  EXPECT_EQ(2u, peek.U32(8)) << "the old handle's close left the new producer streaming";
  EXPECT_EQ(1u, peek.U32(0)) << "no write was begun through the old handle";
  EXPECT_EQ(tag, peek.U64(32));
  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> sample(kFrameBytes);
  ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_EQ(fresh, sample);
  EXPECT_EQ(1, VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(CrossProcess, AHandleWhoseSectionAnotherProcessTookOverNeitherWritesNorCloses) {
  TakeOverFromAnEndedThread(77);
}

}  // namespace
}  // namespace veltrano::channel::test
