// The four producer exports in one process: the section's bytes, state transitions,
// re-initialisation, sequence wrap, refusals and the single-producer rule.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <limits>
#include <thread>
#include <type_traits>

#include "channel/frame_section_reader.h"
#include "channel/frame_section_words.h"
#include "channel_test_support.h"

namespace veltrano::channel::test {
namespace {

// The exports' types as a P/Invoke or ctypes.WinDLL caller declares them: stdcall on
// 32-bit x86 (GCC keeps the convention in the function type; x64 ignores it).
static_assert(std::is_same_v<decltype(&VeltranoVirtualCamera_CreateProducer),
                             VeltranoVirtualCameraProducer*(__stdcall*)(int32_t, int32_t, int32_t, uint64_t)>);
static_assert(std::is_same_v<decltype(&VeltranoVirtualCamera_WriteFrame),
                             int32_t(__stdcall*)(VeltranoVirtualCameraProducer*, const void*, uint32_t, uint64_t)>);
static_assert(std::is_same_v<decltype(&VeltranoVirtualCamera_CloseProducer),
                             void(__stdcall*)(VeltranoVirtualCameraProducer*)>);
static_assert(std::is_same_v<decltype(&VeltranoVirtualCamera_GetCurrentFormat),
                             int32_t(__stdcall*)(int32_t*, int32_t*, int32_t*, uint64_t*)>);

constexpr uint64_t kTag = 0x1122334455667788ull;
constexpr uint32_t kSlots1280[kSlotCount] = {128, 1843392, 3686656, 5529920, 7373184, 9216448};

using ProducerLayout = ChannelTest;

TEST_F(ProducerLayout, HeaderAndSlotBytesFor1280x720) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  SectionPeek peek;
  ASSERT_TRUE(peek);
  ASSERT_GE(peek.Size(), 11059712u);
  EXPECT_EQ(0u, peek.U32(0));  // write counter
  EXPECT_EQ(0u, peek.U32(4));  // published sequence
  EXPECT_EQ(1u, peek.U32(8));  // created
  EXPECT_EQ(1280u, peek.U32(12));
  EXPECT_EQ(720u, peek.U32(16));
  EXPECT_EQ(2560u, peek.U32(20));
  EXPECT_EQ(1843200u, peek.U32(24));
  EXPECT_EQ(1u, peek.U32(28));  // initialised once
  EXPECT_EQ(kTag, peek.U64(32));
  for (uint32_t k = 0; k < kSlotCount; ++k) EXPECT_EQ(kSlots1280[k], peek.U32(40 + 4 * k)) << "slot " << k;
  for (uint32_t offset = 64; offset < 128; offset += 4) EXPECT_EQ(0u, peek.U32(offset)) << offset;

  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 1);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, 0xA1B2C3D4E5F60718ull));
  EXPECT_EQ(1u, peek.U32(0));
  EXPECT_EQ(1u, peek.U32(4));
  EXPECT_EQ(2u, peek.U32(8));
  // The first frame goes to slot 1; slot 0 waits for the sixth.
  const uint32_t slot = kSlots1280[1];
  EXPECT_EQ(0xA1B2C3D4E5F60718ull, peek.U64(slot));
  EXPECT_EQ(kFrameBytes, peek.U32(slot + 8));
  EXPECT_EQ(0u, peek.U32(slot + 12));
  EXPECT_EQ(0, std::memcmp(frame.data(), peek.Bytes(slot + 16), kFrameBytes));
  EXPECT_EQ(0u, peek.U32(kSlots1280[0] + 8)) << "slot 0 length";
  EXPECT_EQ(0u, peek.U32(kSlots1280[2] + 8)) << "slot 2 length";
}

using ProducerState = ChannelTest;

TEST_F(ProducerState, CreatedStreamingClosedAsSeenByQueryAndReader) {
  int32_t width = -7, height = -7, stride = -7;
  uint64_t tag = 7;
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &tag)) << "no section";
  EXPECT_EQ(-7, width);
  EXPECT_EQ(-7, height);
  EXPECT_EQ(-7, stride);
  EXPECT_EQ(7u, tag);
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, nullptr));

  FrameSectionReader reader;
  reader.Refresh();
  EXPECT_FALSE(reader.HasView()) << "nothing to open before the producer";

  VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_NE(nullptr, producer);
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &tag)) << "created, not streaming";
  EXPECT_EQ(kWidth, width);
  EXPECT_EQ(kHeight, height);
  EXPECT_EQ(kStride, stride);
  EXPECT_EQ(kTag, tag);
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, nullptr));

  std::vector<uint8_t> sample(kFrameBytes, 0xCD);
  reader.Refresh();
  ASSERT_TRUE(reader.HasView());
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight)) << "state 1 has no frame";
  EXPECT_EQ(0xCD, sample[0]);

  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 2);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer, frame.data(), kFrameBytes, 1));
  EXPECT_EQ(1, VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, nullptr));
  width = height = stride = 0;
  tag = 0;
  EXPECT_EQ(1, VeltranoVirtualCamera_GetCurrentFormat(&width, nullptr, &stride, nullptr));
  EXPECT_EQ(kWidth, width);
  EXPECT_EQ(kStride, stride) << "null pointers are skipped, the others still filled";
  reader.Refresh();
  EXPECT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_EQ(frame, sample);

  VeltranoVirtualCamera_CloseProducer(producer);
  {
    // The reader still holds the section: the closed producer's format is readable.
    SectionPeek peek;
    ASSERT_TRUE(peek);
    EXPECT_EQ(3u, peek.U32(8));
  }
  width = height = stride = 0;
  tag = 0;
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &tag));
  EXPECT_EQ(kWidth, width);
  EXPECT_EQ(kHeight, height);
  EXPECT_EQ(kStride, stride);
  EXPECT_EQ(kTag, tag);
  std::fill(sample.begin(), sample.end(), 0xCD);
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight)) << "closed";
  EXPECT_EQ(0xCD, sample[0]);
  // Closed: the reader lets go, and as it was the last holder nothing is left to open.
  reader.Refresh();
  EXPECT_FALSE(reader.HasView());
  EXPECT_FALSE(SectionExists());
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &tag));
}

using ProducerReinit = ChannelTest;

TEST_F(ProducerReinit, SameThreadReinitialisesInPlaceAndTheReaderResumes) {
  ProducerPtr first = CreateProducer(kWidth, kHeight, kStride, 1);
  ASSERT_TRUE(first);
  const std::vector<uint8_t> old_frame = MakeFrame(kFrameBytes, 3);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(first.get(), old_frame.data(), kFrameBytes, 0));
  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> sample(kFrameBytes);
  ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));

  // The mutex is recursive for its owner: the same thread may create again, and the
  // section is rewritten in place for the new (smaller) format.
  ProducerPtr second = CreateProducer(640, 480, 1280, 2);
  ASSERT_TRUE(second);
  {
    SectionPeek peek;
    EXPECT_EQ(0u, peek.U32(0));
    EXPECT_EQ(0u, peek.U32(4));
    EXPECT_EQ(1u, peek.U32(8));
    EXPECT_EQ(640u, peek.U32(12));
    EXPECT_EQ(614400u, peek.U32(24));
    EXPECT_EQ(2u, peek.U64(32));
  }
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));

  // The superseded handle can no longer write into the section it lost.
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(first.get(), old_frame.data(), kFrameBytes, 0));
  {
    SectionPeek peek;
    EXPECT_EQ(0u, peek.U32(0)) << "write counter untouched by the superseded handle";
  }

  const std::vector<uint8_t> new_frame = MakeFrame(614400, 4);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(second.get(), new_frame.data(), 614400, 0));
  reader.Refresh();
  EXPECT_TRUE(reader.HasView());
  std::vector<uint8_t> small(614400);
  ASSERT_EQ(614400u, reader.CopyNewest(small.data(), 614400, 640, 480));
  EXPECT_EQ(new_frame, small);

  // Closing the superseded handle must not end the new producer's stream.
  first.reset();
  {
    SectionPeek peek;
    EXPECT_EQ(2u, peek.U32(8));
  }
  EXPECT_EQ(1, VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(1, VeltranoVirtualCamera_WriteFrame(second.get(), new_frame.data(), 614400, 0));
  reader.Refresh();
  EXPECT_EQ(614400u, reader.CopyNewest(small.data(), 614400, 640, 480));

  // The mutex is still held by the live producer: another thread is refused.
  bool other_thread_refused = false;
  ASSERT_TRUE(RunOnOtherThread([&] {
    ProducerPtr other = CreateProducer(kWidth, kHeight, kStride, 3);
    other_thread_refused = !other;
  }));
  EXPECT_TRUE(other_thread_refused);

  second.reset();
  {
    SectionPeek peek;
    EXPECT_EQ(3u, peek.U32(8));
  }
}

// A new producer takes over while a reader is in the middle of a frame and writes
// past the sequence being read: the write counter then looks like a quiet producer's,
// and only the initialisation count tells that the slot's second half is another
// producer's frame. The read is made again, and takes the new producer's newest whole.
TEST_F(ProducerReinit, AReadAcrossANewProducersFirstFramesIsMadeAgain) {
  ProducerPtr first = CreateProducer(kWidth, kHeight, kStride, 1);
  ASSERT_TRUE(first);
  for (uint32_t seed = 1; seed <= 3; ++seed) {  // newest: sequence 3 in slot 3
    const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, seed);
    ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(first.get(), frame.data(), kFrameBytes, 0));
  }
  FrameSectionReader reader;
  reader.Refresh();
  ProducerPtr second;
  std::vector<uint8_t> sample(kFrameBytes);
  int reads = 0;
  bool overrun = true;
  const bool taken = reader.ReadNewest(
      [&](const ProducerFrame& frame) {
        ++reads;
        std::memcpy(sample.data(), frame.data, kFrameBytes / 2);
        if (!second) {
          second = CreateProducer(kWidth, kHeight, kStride, 1);  // same format, same tag
          for (uint32_t seed = 11; seed <= 14; ++seed) {  // sequences 1 to 4, slot 3 rewritten
            const std::vector<uint8_t> next = MakeFrame(kFrameBytes, seed);
            VeltranoVirtualCamera_WriteFrame(second.get(), next.data(), kFrameBytes, 0);
          }
        }
        std::memcpy(sample.data() + kFrameBytes / 2, frame.data + kFrameBytes / 2, kFrameBytes / 2);
        return true;
      },
      &overrun);
  ASSERT_TRUE(second);
  EXPECT_EQ(2, reads) << "the read across the restart must be made again";
  EXPECT_TRUE(taken);
  EXPECT_FALSE(overrun);
  EXPECT_EQ(MakeFrame(kFrameBytes, 14), sample) << "a frame mixed from two producers";
  SectionPeek peek;
  EXPECT_EQ(2u, peek.U32(28)) << "initialised twice";
}

// A creation cut short (its host killed in the middle of it) leaves the
// initialisation count as it was at that moment, and the next producer counts on from
// there. Were it ever 0, that producer would start again at 1 and could meet the count
// a reader still holds from an earlier producer: the count must never go back while a
// section is initialised.
TEST_F(ProducerReinit, TheInitialisationCountNeverGoesBackDuringAnInitialisation) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, 1);
  ASSERT_TRUE(producer);
  SectionPeek peek;
  ASSERT_TRUE(peek);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> went_back{0};
  std::thread sampler([&] {
    uint32_t previous = 1;
    while (!stop.load()) {
      const uint32_t count = LoadWord32(peek.Bytes(), kInitialisationCountOffset);
      if (count < previous) went_back.fetch_add(1);
      previous = count;
    }
  });
  for (int i = 0; i < 20; ++i) producer = CreateProducer(kWidth, kHeight, kStride, 1);  // same thread: in place
  stop.store(true);
  sampler.join();
  ASSERT_TRUE(producer);
  EXPECT_EQ(0u, went_back.load());
  EXPECT_EQ(21u, peek.U32(kInitialisationCountOffset));
}

// A frame buffer whose second half is reserved, not committed: the first read of it
// faults, and the handler holds the reading thread for a while before it commits the
// pages (which read as zero), as a host whose buffer was paged out holds up its
// WriteFrame in the middle of the copy.
struct StalledSecondHalf {
  static inline uint8_t* base = nullptr;
  static inline size_t size = 0;
  static inline HANDLE stalled = nullptr;
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
      return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto* address = reinterpret_cast<const uint8_t*>(record->ExceptionInformation[1]);
    if (address < base || address >= base + size) return EXCEPTION_CONTINUE_SEARCH;
    ::SetEvent(stalled);
    ::Sleep(300);
    return ::VirtualAlloc(base, size, MEM_COMMIT, PAGE_READWRITE) ? EXCEPTION_CONTINUE_EXECUTION
                                                                   : EXCEPTION_CONTINUE_SEARCH;
  }
};

// One host thread writes through the old handle, another closes it meanwhile, and the
// creating thread makes a new producer of the same size. The close waits for the write;
// so must the new producer, or the rest of the old copy lands in its first frame.
TEST_F(ProducerReinit, ANewProducerWaitsForTheWriteOfAHandleBeingClosed) {
  ProducerPtr first = CreateProducer(kWidth, kHeight, kStride, 1);
  ASSERT_TRUE(first);
  const size_t reserved = (kFrameBytes + 0xFFFF) & ~size_t{0xFFFF};
  auto* source = static_cast<uint8_t*>(::VirtualAlloc(nullptr, reserved, MEM_RESERVE, PAGE_READWRITE));
  ASSERT_TRUE(source);
  ASSERT_TRUE(::VirtualAlloc(source, kFrameBytes / 2, MEM_COMMIT, PAGE_READWRITE));  // 225 whole pages
  std::memset(source, 0xAA, kFrameBytes / 2);
  platform::UniqueHandle stalled(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(stalled);
  StalledSecondHalf::base = source;
  StalledSecondHalf::size = reserved;
  StalledSecondHalf::stalled = stalled.get();
  void* const handler = ::AddVectoredExceptionHandler(1, StalledSecondHalf::Handler);
  ASSERT_TRUE(handler);

  VeltranoVirtualCameraProducer* const old_handle = first.release();
  std::thread writer([&] { VeltranoVirtualCamera_WriteFrame(old_handle, source, kFrameBytes, 0); });
  std::thread closer;
  ProducerPtr second;
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 9);
  int32_t written = 0;
  if (::WaitForSingleObject(stalled.get(), 10000) == WAIT_OBJECT_0) {
    closer = std::thread([&] { VeltranoVirtualCamera_CloseProducer(old_handle); });
    ::Sleep(100);  // the close has taken the handle out and waits for the write
    second = CreateProducer(kWidth, kHeight, kStride, 2);  // this thread owns the mutex: in place
    if (second) written = VeltranoVirtualCamera_WriteFrame(second.get(), frame.data(), kFrameBytes, 0);
  }
  writer.join();
  if (closer.joinable()) closer.join();
  ::RemoveVectoredExceptionHandler(handler);
  ::VirtualFree(source, 0, MEM_RELEASE);
  ASSERT_TRUE(second);
  ASSERT_EQ(1, written);
  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> sample(kFrameBytes);
  ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_TRUE(frame == sample) << "the new producer's first frame holds bytes of the closed handle's write";
}

TEST_F(ProducerReinit, ClosingTheNewerHandleFirstEndsTheStreamForBoth) {
  ProducerPtr first = CreateProducer(kWidth, kHeight, kStride, 1);
  ASSERT_TRUE(first);
  ProducerPtr second = CreateProducer(kWidth, kHeight, kStride, 2);
  ASSERT_TRUE(second);
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 6);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(second.get(), frame.data(), kFrameBytes, 0x5EC0));
  SectionPeek peek;
  ASSERT_TRUE(peek);

  // The newer handle closes: the section is closed, and the older one does not take
  // the stream back, neither by writing nor by its own close.
  second.reset();
  EXPECT_EQ(3u, peek.U32(8));
  const std::vector<uint8_t> closed = peek.Snapshot();
  const std::vector<uint8_t> other = MakeFrame(kFrameBytes, 7);
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(first.get(), other.data(), kFrameBytes, 0x01D));
  EXPECT_TRUE(closed == peek.Snapshot()) << "the superseded handle wrote into the closed section";
  first.reset();
  EXPECT_TRUE(closed == peek.Snapshot()) << "the superseded handle's close touched the section";
  EXPECT_EQ(2u, peek.U64(32)) << "the newer producer's tag stays";
}

TEST_F(ProducerReinit, LargerSizeWhileTheSectionIsHeldFailsAndKeepsTheLiveProducer) {
  ProducerPtr first = CreateProducer(640, 480, 1280, 1);
  ASSERT_TRUE(first);
  EXPECT_FALSE(CreateProducer(kWidth, kHeight, kStride, 2)) << "the existing section is too small";
  SectionPeek peek;
  EXPECT_EQ(1u, peek.U32(8));
  EXPECT_EQ(640u, peek.U32(12));
  EXPECT_EQ(1u, peek.U64(32));
  const std::vector<uint8_t> frame = MakeFrame(614400, 5);
  EXPECT_EQ(1, VeltranoVirtualCamera_WriteFrame(first.get(), frame.data(), 614400, 0));
  EXPECT_EQ(2u, peek.U32(8));
}

using ProducerSequence = ChannelTest;

TEST_F(ProducerSequence, FirstFramesStepThroughSlotsOneToFiveThenZero) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  SectionPeek peek;
  ASSERT_TRUE(peek);
  const uint32_t expected_slot[] = {1, 2, 3, 4, 5, 0, 1};
  for (uint32_t write = 1; write <= 7; ++write) {
    SCOPED_TRACE(testing::Message() << "write " << write);
    // Slot 0 stays empty until the sixth frame.
    EXPECT_EQ(write <= 6 ? 0u : kFrameBytes, peek.U32(kSlots1280[0] + 8));
    const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 100 + write);
    ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, 1000 + write));
    EXPECT_EQ(write, peek.U32(0));
    EXPECT_EQ(write, peek.U32(4));
    const uint32_t slot = kSlots1280[expected_slot[write - 1]];
    EXPECT_EQ(1000u + write, peek.U64(slot));
    EXPECT_EQ(kFrameBytes, peek.U32(slot + 8));
    EXPECT_EQ(0, std::memcmp(frame.data(), peek.Bytes(slot + 16), kFrameBytes));
  }
}

TEST_F(ProducerSequence, WrapChoosesSlotsByTheSignedRemainder) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  SectionPeek poke(true);
  ASSERT_TRUE(poke);
  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> sample(kFrameBytes);

  const struct {
    uint32_t counter_before;  // 0 = leave the counter as the previous write left it
    uint32_t sequence;
    uint32_t slot;
  } steps[] = {{0x7FFFFFFE, 0x7FFFFFFF, 1}, {0, 0x80000000, 4}, {0, 0x80000001, 5},
               {0xFFFFFFFE, 0xFFFFFFFF, 5}, {0, 0, 0},          {0, 1, 1}};
  uint32_t seed = 10;
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::Message() << "sequence " << step.sequence);
    if (step.counter_before) poke.Poke32(0, step.counter_before);
    const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, ++seed);
    ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, seed));
    EXPECT_EQ(step.sequence, poke.U32(4));
    EXPECT_EQ(seed, poke.U64(kSlots1280[step.slot])) << "stamp in the chosen slot";
    EXPECT_EQ(0, std::memcmp(frame.data(), poke.Bytes(kSlots1280[step.slot] + 16), kFrameBytes));
    ASSERT_EQ(kFrameBytes, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
    EXPECT_EQ(frame, sample) << "the reader picks the same slot";
  }
}

using ProducerRefusal = ChannelTest;

TEST_F(ProducerRefusal, BadArgumentsCreateNothing) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const struct {
    int32_t width, height, stride;
    uint64_t tag;
  } cases[] = {
      {0, 720, 2560, 1},      {1280, 0, 2560, 1},     {1280, 720, 0, 1},      {1280, 720, 2560, 0},
      {-1280, 720, 2560, 1},  {1280, -720, 2560, 1},  {1280, 720, -2560, 1},  {-1, -1, -1, 1},
      {32768, 65536, 65536, 1},  // frame size 2^32 would wrap to 0
      {kMax, kMax, kMax, 1},
      {1, 1, 715827882, 1},      // frame fits in 32 bits, the six slots do not
      {65536, 32768, 131071, 1},  // frame size just under 2^32
  };
  const long handles = platform::LiveHandleCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " " << c.height << " " << c.stride << " " << c.tag);
    EXPECT_EQ(nullptr, VeltranoVirtualCamera_CreateProducer(c.width, c.height, c.stride, c.tag));
    EXPECT_FALSE(SectionExists());
    EXPECT_FALSE(MutexExists());
    EXPECT_EQ(handles, platform::LiveHandleCount());
  }
}

TEST_F(ProducerRefusal, WriteFrameShortBufferNullsAndLongBuffer) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  SectionPeek peek;
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes + 100, 6);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, 1));

  const std::vector<uint8_t> before = peek.Snapshot();
  const std::vector<uint8_t> other = MakeFrame(kFrameBytes + 100, 7);
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(producer.get(), other.data(), kFrameBytes - 1, 2));
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(producer.get(), other.data(), 0, 2));
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(producer.get(), nullptr, kFrameBytes, 2));
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(nullptr, other.data(), kFrameBytes, 2));
  EXPECT_TRUE(before == peek.Snapshot()) << "a refused write changes no byte of the section";

  // A longer buffer is accepted; only the frame size is read from it.
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), other.data(), kFrameBytes + 100, 3));
  EXPECT_EQ(2u, peek.U32(4));
  EXPECT_EQ(0, std::memcmp(other.data(), peek.Bytes(kSlots1280[2] + 16), kFrameBytes));
  for (uint32_t offset = kSlots1280[2] + 16 + kFrameBytes; offset < kSlots1280[3]; offset += 4) {
    EXPECT_EQ(0u, peek.U32(offset)) << "nothing past the slot's data, at " << offset;
  }
  EXPECT_EQ(0u, peek.U32(kSlots1280[3] + 8)) << "next slot untouched";

  VeltranoVirtualCamera_CloseProducer(nullptr);
}

TEST_F(ProducerRefusal, HeaderTamperingDoesNotSteerTheProducer) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  SectionPeek poke(true);
  ASSERT_TRUE(poke);
  // Any process of the session may open the section writable and rewrite the header.
  poke.Poke32(24, 0xFFFFFFF0);
  for (uint32_t k = 0; k < kSlotCount; ++k) poke.Poke32(40 + 4 * k, 0xFFFFFF00 - k);
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 8);
  ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), kFrameBytes, 9));
  EXPECT_EQ(kFrameBytes, poke.U32(kSlots1280[1] + 8)) << "length from the producer's own layout";
  EXPECT_EQ(0, std::memcmp(frame.data(), poke.Bytes(kSlots1280[1] + 16), kFrameBytes));
  EXPECT_EQ(0u, poke.U32(kSlots1280[2] + 8));

  // A reader meets the same header and refuses it rather than reading outside its view.
  FrameSectionReader reader;
  reader.Refresh();
  std::vector<uint8_t> sample(kFrameBytes, 0xCD);
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), 0xFFFFFFFF, kWidth, kHeight));
  EXPECT_EQ(0xCD, sample[0]);
}

// Only live handles of this module are acted on: a double close, a closed handle and
// a value that was never a handle (another process's, or any pointer) are refused
// without touching the memory the value names, and the live producer goes on.
TEST_F(ProducerRefusal, HandlesThatAreNotLiveAreIgnored) {
  const std::vector<uint8_t> frame = MakeFrame(kFrameBytes, 8);
  VeltranoVirtualCameraProducer* closed = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(closed);
  VeltranoVirtualCamera_CloseProducer(closed);
  ProducerPtr live = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(live);
  ASSERT_NE(closed, live.get()) << "a closed handle's value is never handed out again";

  // Bytes that look like a producer record: a freed record, or another process's.
  std::vector<uint8_t> lookalike(4096, 0xA5);
  const std::vector<uint8_t> lookalike_before = lookalike;
  VeltranoVirtualCameraProducer* const strangers[] = {
      closed,
      reinterpret_cast<VeltranoVirtualCameraProducer*>(lookalike.data()),
      reinterpret_cast<VeltranoVirtualCameraProducer*>(static_cast<uintptr_t>(0x10)),
  };
  for (VeltranoVirtualCameraProducer* stranger : strangers) {
    EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(stranger, frame.data(), kFrameBytes, 0));
    VeltranoVirtualCamera_CloseProducer(stranger);
    VeltranoVirtualCamera_CloseProducer(stranger);
  }
  EXPECT_EQ(lookalike_before, lookalike);
  SectionPeek peek;
  EXPECT_EQ(1u, peek.U32(8)) << "no stranger closed the live producer's stream";
  EXPECT_EQ(0u, peek.U32(0)) << "no stranger wrote";
  EXPECT_EQ(1, VeltranoVirtualCamera_WriteFrame(live.get(), frame.data(), kFrameBytes, 0));
  VeltranoVirtualCameraProducer* const value = live.release();
  VeltranoVirtualCamera_CloseProducer(value);
  EXPECT_EQ(3u, peek.U32(8));
  VeltranoVirtualCamera_CloseProducer(value);  // the common double close at shutdown
  EXPECT_EQ(0, VeltranoVirtualCamera_WriteFrame(value, frame.data(), kFrameBytes, 0));
}

TEST_F(ProducerRefusal, ASectionOfReservedPagesIsNobodysFrameSection) {
  // Any process of the session may take the name first with pages that are reserved
  // but never committed: mapping it works, touching it faults.
  platform::UniqueHandle squatter(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0,
                                                       11059712, kFrameSectionName));
  ASSERT_TRUE(squatter);
  ASSERT_TRUE(SectionExists());

  int32_t width = -5;
  EXPECT_EQ(0, VeltranoVirtualCamera_GetCurrentFormat(&width, nullptr, nullptr, nullptr));
  EXPECT_EQ(-5, width) << "no header was read";
  FrameSectionReader reader;
  reader.Refresh();
  EXPECT_FALSE(reader.HasView());
  std::vector<uint8_t> sample(kFrameBytes, 0xCD);
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight));
  EXPECT_FALSE(CreateProducer(kWidth, kHeight, kStride, kTag)) << "the zero fill would fault";
  EXPECT_FALSE(MutexExists()) << "the refused producer let its mutex go";

  squatter.reset();
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  EXPECT_TRUE(producer) << "the name is free again";
}

using SecondProducer = ChannelTest;

TEST_F(SecondProducer, RefusedOnAnotherThreadUntilTheFirstCloses) {
  ProducerPtr producer = CreateProducer(kWidth, kHeight, kStride, kTag);
  ASSERT_TRUE(producer);
  bool refused = false;
  ASSERT_TRUE(RunOnOtherThread([&] { refused = !CreateProducer(kWidth, kHeight, kStride, 2); }));
  EXPECT_TRUE(refused);
  SectionPeek peek;
  EXPECT_EQ(kTag, peek.U64(32)) << "the refused attempt left the section alone";
  EXPECT_EQ(1u, peek.U32(8));

  producer.reset();
  bool created = false;
  uint32_t state_seen = 0;
  ASSERT_TRUE(RunOnOtherThread([&] {
    ProducerPtr other = CreateProducer(kWidth, kHeight, kStride, 2);
    created = static_cast<bool>(other);
    state_seen = peek.U32(8);
  }));
  EXPECT_TRUE(created);
  EXPECT_EQ(1u, state_seen) << "re-initialised the section the peek still held";
  EXPECT_EQ(3u, peek.U32(8));
}

TEST_F(SecondProducer, CloseOnAnotherThreadLeavesTheMutexOwnedUntilItsThreadEnds) {
  VeltranoVirtualCameraProducer* handle = nullptr;
  platform::UniqueHandle release_creator(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle created(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(release_creator && created);
  struct Context {
    VeltranoVirtualCameraProducer** handle;
    HANDLE created, release;
  } context{&handle, created.get(), release_creator.get()};
  auto creator = [](void* raw) -> DWORD {
    auto* c = static_cast<Context*>(raw);
    *c->handle = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, 1);
    ::SetEvent(c->created);
    ::WaitForSingleObject(c->release, 10000);
    return 0;
  };
  platform::UniqueHandle thread(::veltrano::test::StartThread(creator, &context));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(created.get(), 10000));
  ASSERT_NE(nullptr, handle);

  // Another party holds the mutex open, so the object (and its owner) outlive the
  // producer's own handle.
  platform::UniqueHandle mutex_holder(::OpenMutexW(SYNCHRONIZE, FALSE, kProducerMutexName));
  ASSERT_TRUE(mutex_holder);

  // Closed on this thread: handles go, but ownership stays with the creating thread.
  VeltranoVirtualCamera_CloseProducer(handle);
  EXPECT_FALSE(SectionExists());
  {
    ProducerPtr blocked = CreateProducer(kWidth, kHeight, kStride, 2);
    EXPECT_FALSE(blocked) << "mutex still owned by the creating thread";
  }
  ::SetEvent(release_creator.get());
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), 10000));
  // Its thread has ended: the mutex is abandoned, and abandoned is accepted.
  ProducerPtr next = CreateProducer(kWidth, kHeight, kStride, 3);
  EXPECT_TRUE(next);
  next.reset();
  mutex_holder.reset();
}

}  // namespace
}  // namespace veltrano::channel::test
