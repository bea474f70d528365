// The channel between processes: a reader in another process, a second producer in
// another process, and a producer process that ends without closing.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

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

// Frames of the takeover stress run: 320 x 240, cut into chunks that each begin with
// the writing producer's seed and the frame's number, so that a frame mixed from two
// writes shows itself.
constexpr int32_t kStressWidth = 320;
constexpr int32_t kStressHeight = 240;
constexpr uint32_t kStressBytes = kStressWidth * kStressHeight * 2;
constexpr uint32_t kStressChunks = 16;
constexpr uint32_t kStressChunk = kStressBytes / kStressChunks;

// Publishes a frame every 10 ms until killed (or for 30 s at most); signals `ready`
// after the first.
VELTRANO_CHILD_MODE(produce_until_killed) {
  if (args.size() != 2) return 90;
  const uint32_t seed = static_cast<uint32_t>(std::stoul(args[0]));
  platform::UniqueHandle ready = ::veltrano::test::OpenNamedEvent(args[1]);
  if (!ready) return 91;
  VeltranoVirtualCameraProducer* producer = nullptr;
  // The previous producer was killed a moment ago; its mutex may not be abandoned yet.
  for (int i = 0; i < 500 && !producer; ++i) {
    producer = VeltranoVirtualCamera_CreateProducer(kStressWidth, kStressHeight, 2 * kStressWidth, seed);
    if (!producer) ::Sleep(2);
  }
  if (!producer) return 92;
  std::vector<uint8_t> frame(kStressBytes, 0x5A);
  for (uint32_t number = 1; number <= 3000; ++number) {
    const uint64_t mark = (static_cast<uint64_t>(seed) << 32) | number;
    for (uint32_t chunk = 0; chunk < kStressChunks; ++chunk) std::memcpy(&frame[chunk * kStressChunk], &mark, 8);
    VeltranoVirtualCamera_WriteFrame(producer, frame.data(), kStressBytes, number);
    if (number == 1) ::SetEvent(ready.get());
    ::Sleep(10);
  }
  return 0;
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

// Producers killed one after another at random moments, each taking over from the
// last, while a reader held up in the middle of every frame it reads (about 0.1 s per
// frame) checks that each frame it took whole comes from one write. A new producer
// whose first frames pass the number being read is what the write counter alone
// cannot tell from a quiet producer.
TEST_F(CrossProcess, ReadsAcrossKilledAndReplacedProducersNeverMixTwoFrames) {
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> whole{0}, mixed{0}, refused{0};
  std::thread reader_thread([&] {
    FrameSectionReader reader;
    std::vector<uint8_t> sample(kStressBytes);
    while (!stop.load()) {
      reader.Refresh();
      bool overrun = false;
      const bool taken = reader.ReadNewest(
          [&](const ProducerFrame& frame) {
            if (frame.size != kStressBytes) return false;
            for (uint32_t chunk = 0; chunk < kStressChunks; ++chunk) {
              std::memcpy(&sample[chunk * kStressChunk], frame.data + chunk * kStressChunk, kStressChunk);
              if (!stop.load()) ::Sleep(5);
            }
            return true;
          },
          &overrun);
      if (!taken) {
        refused.fetch_add(1);
        ::Sleep(5);
        continue;
      }
      if (overrun) continue;  // lapped by one producer: taken knowingly, not judged here
      bool same = true;
      for (uint32_t chunk = 1; chunk < kStressChunks; ++chunk) {
        same = same && std::memcmp(&sample[0], &sample[chunk * kStressChunk], 8) == 0;
      }
      (same ? whole : mixed).fetch_add(1);
    }
  });
  ::veltrano::test::ChildProcess child;
  // Whatever ends the test, the reader thread is joined and no producer is left behind.
  struct Cleanup {
    std::atomic<bool>& stop;
    std::thread& reader;
    ::veltrano::test::ChildProcess& child;
    ~Cleanup() {
      stop.store(true);
      if (reader.joinable()) reader.join();
      if (child.process) ::TerminateProcess(child.process.get(), 1);
    }
  } cleanup{stop, reader_thread, child};

  const std::wstring ready_name = UniqueName(L"ready");
  platform::UniqueHandle ready = ::veltrano::test::CreateNamedEvent(ready_name);
  ASSERT_TRUE(ready);
  uint32_t random = 12345;
  for (uint32_t cycle = 1; cycle <= 20; ++cycle) {
    ::ResetEvent(ready.get());
    child = ::veltrano::test::SpawnChild(L"produce_until_killed", std::to_wstring(cycle) + L" " + ready_name);
    ASSERT_TRUE(child.process);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kChildTimeoutMs)) << "cycle " << cycle;
    random = random * 1664525u + 1013904223u;
    ::Sleep(10 + (random >> 24) % 150);
    ::TerminateProcess(child.process.get(), 1);
    ::WaitForSingleObject(child.process.get(), kChildTimeoutMs);
  }
  child.process.reset();
  stop.store(true);
  reader_thread.join();
  std::printf("[ figures  ] frames read whole %u, mixed %u, refused %u\n", whole.load(), mixed.load(),
              refused.load());
  EXPECT_EQ(0u, mixed.load());
  EXPECT_GT(whole.load(), 0u);
}

// A capture application that never looks at the section again (stalled, or an older
// camera) holds a vanished host's section: a larger producer waits for it in vain, and
// giving up must leave that stream as it found it, last frame and all.
TEST_F(CrossProcess, ALargerProducerThatGivesUpLeavesTheOldStreamAsItWas) {
  const std::wstring ready_name = UniqueName(L"ready");
  const std::wstring go_name = UniqueName(L"go");
  platform::UniqueHandle ready = ::veltrano::test::CreateNamedEvent(ready_name);
  platform::UniqueHandle go = ::veltrano::test::CreateNamedEvent(go_name);
  ASSERT_TRUE(ready && go);
  auto child = ::veltrano::test::SpawnChild(L"produce_and_vanish", L"71 " + ready_name + L" " + go_name);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kChildTimeoutMs)) << "child did not publish";
  FrameSectionReader stalled;
  stalled.Refresh();
  ASSERT_TRUE(stalled.HasView());
  ::SetEvent(go.get());
  ASSERT_TRUE(child.Wait(kChildTimeoutMs));

  const ULONGLONG start = ::GetTickCount64();
  EXPECT_FALSE(CreateProducer(1920, 1080, 3840, 0xBEEF));
  EXPECT_GE(::GetTickCount64() - start, 1900u) << "gave up before the readers had time to let go";
  std::vector<uint8_t> sample(kFrameBytes);
  EXPECT_EQ(kFrameBytes, stalled.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_EQ(MakeFrame(kFrameBytes, 71), sample) << "the vanished host's last frame is gone";
  EXPECT_EQ(1, VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, nullptr)) << "still streaming";
}

// A camera's reader on a thread of its own, one sample every 33 ms: refreshes its view
// and notes the size of every frame it reads.
class PollingReader {
 public:
  PollingReader()
      : thread_([this] {
          FrameSectionReader reader;
          while (!stop_.load()) {
            reader.Refresh();
            refreshes_.fetch_add(1);
            reader.ReadNewest([this](const ProducerFrame& frame) {
              last_width_.store(frame.width);
              return true;
            });
            ::Sleep(33);
          }
        }) {}
  ~PollingReader() {
    stop_.store(true);
    thread_.join();
  }
  int32_t last_width() const { return last_width_.load(); }
  //! Waits (bounded) until the reader has refreshed its view `count` more times.
  bool WaitForRefreshes(int count) const {
    const int target = refreshes_.load() + count;
    for (int i = 0; i < 300 && refreshes_.load() < target; ++i) ::Sleep(10);
    return refreshes_.load() >= target;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int32_t> last_width_{0};
  std::atomic<int> refreshes_{0};
  std::thread thread_;
};

// Two capture readers hold the section when its producer goes, by closing or by
// vanishing, and the host comes back with a larger frame: the old section must go as
// soon as the readers let go of it, so that the new producer can be created.
TEST_F(CrossProcess, ALargerProducerFollowsTheLastOneWhileTwoReadersStream) {
  for (const bool vanish : {false, true}) {
    SCOPED_TRACE(vanish ? "the old producer vanished" : "the old producer closed");
    PollingReader readers[2];
    const std::wstring ready_name = UniqueName(L"ready");
    const std::wstring go_name = UniqueName(L"go");
    platform::UniqueHandle ready = ::veltrano::test::CreateNamedEvent(ready_name);
    platform::UniqueHandle go = ::veltrano::test::CreateNamedEvent(go_name);
    ::veltrano::test::ChildProcess child;
    ProducerPtr old_producer;
    if (vanish) {
      child = ::veltrano::test::SpawnChild(L"produce_and_vanish", L"61 " + ready_name + L" " + go_name);
      ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kChildTimeoutMs)) << "child did not publish";
    } else {
      old_producer = CreateProducer(kWidth, kHeight, kStride, 0xC0FFEE);
      ASSERT_TRUE(old_producer);
      const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 61);
      ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(old_producer.get(), frame.data(), kFrameBytes, 0));
    }
    for (int i = 0; i < 100 && (readers[0].last_width() != kWidth || readers[1].last_width() != kWidth); ++i) {
      ::Sleep(20);
    }
    ASSERT_EQ(kWidth, readers[0].last_width());
    ASSERT_EQ(kWidth, readers[1].last_width());

    if (vanish) {
      ::SetEvent(go.get());
      ASSERT_TRUE(child.Wait(kChildTimeoutMs));
    } else {
      old_producer.reset();
      // Neither reader keeps a closed section: gone once both have looked again.
      ASSERT_TRUE(readers[0].WaitForRefreshes(2) && readers[1].WaitForRefreshes(2));
      EXPECT_FALSE(SectionExists()) << "the readers keep the closed section alive";
    }
    // One attempt, as a host makes it; the figure is how long the call took.
    const ULONGLONG start = ::GetTickCount64();
    ProducerPtr larger = CreateProducer(1920, 1080, 3840, 0xBEEF);
    std::printf("[ figures  ] larger producer created %llu ms after the old one %s\n",
                static_cast<unsigned long long>(::GetTickCount64() - start), vanish ? "vanished" : "closed");
    ASSERT_TRUE(larger) << "the old section is still held";
    const std::vector<uint8_t> frame = MakeFrame(1920 * 1080 * 2, 62);
    for (int i = 0; i < 100 && (readers[0].last_width() != 1920 || readers[1].last_width() != 1920); ++i) {
      ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(larger.get(), frame.data(), 1920 * 1080 * 2, 0));
      ::Sleep(20);
    }
    EXPECT_EQ(1920, readers[0].last_width());
    EXPECT_EQ(1920, readers[1].last_width());
  }
}

}  // namespace
}  // namespace veltrano::channel::test
