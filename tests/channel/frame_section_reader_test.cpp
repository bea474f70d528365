// The reader against sections forged by hand: what it accepts, every header that lies
// about where the frame is, view upkeep by state, and a header rewritten while reading.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "channel/frame_section_reader.h"
#include "channel_test_support.h"

namespace veltrano::channel::test {
namespace {

constexpr uint32_t kForgedSize = 65536;
constexpr int32_t kForgedWidth = 16;
constexpr int32_t kForgedHeight = 8;
constexpr uint32_t kForgedFrame = 256;  // 8 rows of 32 bytes

// A frame section written by the test itself, as a hostile or broken producer could.
class ForgedSection {
 public:
  ForgedSection() {
    section_.reset(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kForgedSize, kFrameSectionName));
    if (section_) view_.reset(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    // Every word the test does not set reads as 0xFFFFFFFF, so a slot length found at
    // a forged offset never refuses the frame on its own: the bounds must.
    if (view_) std::memset(view_.get(), 0xFF, kForgedSize);
  }
  explicit operator bool() const { return static_cast<bool>(view_); }
  void Set32(uint32_t offset, uint32_t value) { std::memcpy(view_.as<uint8_t>() + offset, &value, 4); }
  //! A store the compiler may neither drop nor merge with the next one.
  void Store32(uint32_t offset, uint32_t value) {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(At(offset))).store(value);
  }
  uint8_t* At(uint32_t offset) { return view_.as<uint8_t>() + offset; }
  //! A well-formed streaming header whose newest frame (sequence 1) is in slot 1 at
  //! `slot_offset`, filled with `frame`.
  void Streaming(uint32_t slot_offset, const std::vector<uint8_t>& frame) {
    Set32(0, 1);
    Set32(4, 1);
    Set32(8, kStateStreaming);
    Set32(12, kForgedWidth);
    Set32(16, kForgedHeight);
    Set32(20, 2 * kForgedWidth);
    Set32(24, kForgedFrame);
    Set32(44, slot_offset);
    Set32(slot_offset + 8, kForgedFrame);
    std::memcpy(At(slot_offset + 16), frame.data(), frame.size());
  }
  void Close() {
    view_.reset();
    section_.reset();
  }

 private:
  platform::UniqueHandle section_;
  platform::MappedView view_;
};

using ReaderHeader = ChannelTest;

// The write counter after the copy tells whether the producer may have begun writing
// the copied slot again. The section here holds still, so every retry meets the same
// counter: an overrun ends with the last copy, flagged.
TEST_F(ReaderHeader, FlagsACopyThatTheProducerMayHaveOverwritten) {
  ForgedSection forged;
  ASSERT_TRUE(forged);
  const std::vector<uint8_t> frame = MakeFrame(kForgedFrame, 21);
  const struct {
    uint32_t sequence;  // published; its slot is at 4096
    uint32_t counter;
    uint32_t copied;
    bool overrun;
    const char* what;
  } cases[] = {
      {1, 1, kForgedFrame, false, "no write begun since"},
      {1, 6, kForgedFrame, false, "five writes begun, all into other slots"},
      {1, 7, kForgedFrame, true, "the sixth write reuses the slot"},
      {1, 0x40000000u, kForgedFrame, true, "far ahead"},
      {1, 0, 0, false, "counter restarted: the section was initialised again"},
      {0x7FFFFFFFu, 0x80000002u, kForgedFrame, false, "across 2^31, three writes into other slots"},
      {0x7FFFFFFFu, 0x80000003u, kForgedFrame, true, "across 2^31 the fourth write reuses slot 1"},
      {0xFFFFFFFFu, 4, kForgedFrame, false, "across the wrap, five writes into other slots"},
      {0xFFFFFFFFu, 5, kForgedFrame, true, "across the wrap the sixth write reuses slot 5"},
  };
  for (const auto& c : cases) {
    forged.Streaming(4096, frame);
    forged.Set32(4, c.sequence);
    forged.Set32(40 + 4 * SlotIndexOf(c.sequence), 4096);
    forged.Set32(0, c.counter);
    FrameSectionReader reader;
    reader.Refresh();
    ASSERT_TRUE(reader.HasView());
    std::vector<uint8_t> sample(kForgedFrame, 0xCD);
    bool overrun = !c.overrun;
    EXPECT_EQ(c.copied, reader.CopyNewest(sample.data(), kForgedFrame, kForgedWidth, kForgedHeight, &overrun))
        << c.what;
    EXPECT_EQ(c.overrun, overrun) << c.what;
    if (c.copied) {
      EXPECT_EQ(frame, sample) << c.what;
    }
  }
}

TEST_F(ReaderHeader, CopiesAWellFormedFrameUpToTheLastByteOfTheView) {
  ForgedSection forged;
  ASSERT_TRUE(forged);
  const std::vector<uint8_t> frame = MakeFrame(kForgedFrame, 20);
  // The slot's data ends exactly at the end of the mapping.
  forged.Streaming(kForgedSize - 16 - kForgedFrame, frame);
  FrameSectionReader reader;
  reader.Refresh();
  ASSERT_TRUE(reader.HasView());
  std::vector<uint8_t> sample(kForgedFrame + 8, 0xCD);
  EXPECT_EQ(kForgedFrame, reader.CopyNewest(sample.data(), kForgedFrame, kForgedWidth, kForgedHeight));
  EXPECT_EQ(0, std::memcmp(frame.data(), sample.data(), kForgedFrame));
  EXPECT_EQ(0xCD, sample[kForgedFrame]) << "nothing past the frame size";
}

TEST_F(ReaderHeader, RefusesEveryHeaderThatDoesNotFitTheViewOrTheCaller) {
  const std::vector<uint8_t> frame = MakeFrame(kForgedFrame, 21);
  const uint32_t good_slot = 1024;
  const struct {
    const char* what;
    uint32_t offset, value;
    uint32_t capacity;
    int32_t width, height;
    uint32_t extra_offset = 0, extra_value = 0;  // a second word to forge, if any
  } cases[] = {
      {"slot data 8 bytes past the view", 44, kForgedSize - 16 - kForgedFrame + 8, kForgedFrame, 16, 8},
      {"slot offset past the view", 44, kForgedSize + 4096, kForgedFrame, 16, 8},
      {"slot offset near 2^32 (a 32-bit sum would wrap)", 44, 0xFFFFFFF0, kForgedFrame, 16, 8},
      {"misaligned slot offset", 44, good_slot + 2, kForgedFrame, 16, 8},
      {"frame size larger than the view", 24, 0x7FFFFFF0, 0xFFFFFFFF, 16, 8, good_slot + 8, 0xFFFFFFFF},
      {"frame size larger than the caller's buffer", 24, kForgedFrame + 1, kForgedFrame, 16, 8, good_slot + 8,
       0xFFFFFFFF},
      {"zero frame size", 24, 0, kForgedFrame, 16, 8},
      // Only exactly stride x height: a shorter frame would leave the rest of the
      // sample as the previous sample left it.
      {"frame size one byte short of stride x height", 24, kForgedFrame - 1, kForgedFrame, 16, 8},
      {"frame size of 4 bytes", 24, 4, kForgedFrame, 16, 8},
      {"frame size beyond stride x height", 24, kForgedFrame + 64, kForgedFrame + 64, 16, 8, good_slot + 8,
       0xFFFFFFFF},
      {"slot length shorter than the frame", good_slot + 8, kForgedFrame - 1, kForgedFrame, 16, 8},
      {"newest sequence names a slot that lies", 4, 2, kForgedFrame, 16, 8},  // slot 2 offset 0xFFFFFFFF
      {"state created", 8, kStateCreated, kForgedFrame, 16, 8},
      {"state closed", 8, kStateClosed, kForgedFrame, 16, 8},
      {"unknown state", 8, 7, kForgedFrame, 16, 8},
      {"padded stride", 20, 2 * kForgedWidth + 4, kForgedFrame, 16, 8},
      {"other width", 12, 17, kForgedFrame, 16, 8},
      {"other height", 16, 9, kForgedFrame, 16, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ForgedSection forged;
    ASSERT_TRUE(forged);
    forged.Streaming(good_slot, frame);
    FrameSectionReader reader;
    reader.Refresh();
    std::vector<uint8_t> sample(kForgedFrame, 0xCD);
    ASSERT_EQ(kForgedFrame, reader.CopyNewest(sample.data(), kForgedFrame, 16, 8)) << "well-formed first";
    forged.Set32(c.offset, c.value);
    if (c.extra_offset) forged.Set32(c.extra_offset, c.extra_value);
    std::fill(sample.begin(), sample.end(), 0xCD);
    EXPECT_EQ(0u, reader.CopyNewest(sample.data(), c.capacity, c.width, c.height));
    EXPECT_EQ(std::vector<uint8_t>(kForgedFrame, 0xCD), sample) << "destination untouched";
  }
}

TEST_F(ReaderHeader, FrameSizeRewrittenDuringReadsNeverEscapesTheView) {
  ForgedSection forged;
  ASSERT_TRUE(forged);
  const std::vector<uint8_t> frame = MakeFrame(kForgedFrame, 22);
  forged.Streaming(1024, frame);
  forged.Set32(1024 + 8, 0xFFFFFFFF);  // the slot length never refuses
  FrameSectionReader reader;
  reader.Refresh();
  // A producer flips the frame size between a valid value and one far past the view.
  // A reader that checked one reading and copied with another would run off the view.
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> flips{0};
  platform::UniqueHandle flipper;
  struct Context {
    ForgedSection* forged;
    std::atomic<bool>* stop;
    std::atomic<uint32_t>* flips;
  } context{&forged, &stop, &flips};
  flipper.reset(::veltrano::test::StartThread(
      [](void* raw) -> DWORD {
        auto* c = static_cast<Context*>(raw);
        while (!c->stop->load()) {
          c->forged->Store32(24, 0x7FFFFFF0);
          c->forged->Store32(24, kForgedFrame);
          c->flips->fetch_add(1);
        }
        return 0;
      },
      &context));
  ASSERT_TRUE(flipper);
  std::vector<uint8_t> sample(kForgedFrame);
  uint32_t copied = 0, refused = 0, other = 0;
  // Reads overlap at least a thousand flips, within a bounded time.
  const ULONGLONG deadline = ::GetTickCount64() + 10000;
  for (int i = 0; (i < 3000000 || flips.load() < 1000) && ::GetTickCount64() < deadline; ++i) {
    const uint32_t result = reader.CopyNewest(sample.data(), 0xFFFFFFFF, 16, 8);
    if (result == kForgedFrame) ++copied;
    else if (result == 0) ++refused;
    else ++other;
  }
  stop.store(true);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(flipper.get(), 10000));
  EXPECT_EQ(0u, other);
  EXPECT_GT(copied, 0u);
  EXPECT_GE(flips.load(), 1000u);
  EXPECT_EQ(frame, sample);
}

using ReaderView = ChannelTest;

// A closed or empty section is never kept: neither a view already held nor a section
// found that way, so the object goes once everybody else has let go of it.
TEST_F(ReaderView, KeepsOnlyACreatedOrStreamingSection) {
  for (const uint32_t state : {kStateCreated, kStateStreaming, kStateClosed, kStateEmpty}) {
    SCOPED_TRACE(testing::Message() << "state " << state);
    const bool keeps = state == kStateCreated || state == kStateStreaming;
    for (const bool held_before : {true, false}) {
      FrameSectionReader reader;
      {
        ForgedSection forged;
        ASSERT_TRUE(forged);
        forged.Set32(8, kStateCreated);
        if (held_before) {
          reader.Refresh();
          ASSERT_TRUE(reader.HasView());
        }
        forged.Set32(8, state);
        reader.Refresh();
        EXPECT_EQ(keeps, reader.HasView()) << (held_before ? "held before" : "found");
      }
      // The forger has let go: only a reader that kept its view keeps the section.
      reader.Refresh();
      EXPECT_EQ(keeps, reader.HasView());
      EXPECT_EQ(keeps, SectionExists());
    }
  }
}

TEST_F(ReaderView, ReleaseAndDestructionLetTheSectionGo) {
  {
    ForgedSection forged;
    ASSERT_TRUE(forged);
    forged.Set32(8, kStateStreaming);
    FrameSectionReader reader;
    reader.Refresh();
    EXPECT_TRUE(reader.HasView());
    forged.Close();
    EXPECT_TRUE(SectionExists()) << "held by the reader";
  }
  EXPECT_FALSE(SectionExists()) << "the reader's destructor released it";
  std::vector<uint8_t> sample(16, 0xCD);
  FrameSectionReader reader;
  EXPECT_EQ(0u, reader.CopyNewest(sample.data(), 16, 16, 8)) << "no view";
}

}  // namespace
}  // namespace veltrano::channel::test
