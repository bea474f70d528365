// Reading the newest frame out of the frame section without trusting its header.
#include "channel/frame_section_reader.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "channel/frame_section_layout.h"
#include "channel/frame_section_words.h"

namespace veltrano::channel {

FrameSectionReader::FrameSectionReader() noexcept = default;

FrameSectionReader::~FrameSectionReader() { Release(); }

void FrameSectionReader::Refresh() noexcept {
  if (view_) {
    const uint32_t state = LoadWord32(view_.get(), kProducerStateOffset);
    if (state != kStateEmpty && state != kStateClosed) return;
    Release();
  }
  section_.reset(::OpenFileMappingW(FILE_MAP_READ, FALSE, kFrameSectionName));
  if (!section_) return;
  view_.reset(::MapViewOfFile(section_.get(), FILE_MAP_READ, 0, 0, 0));
  view_size_ = view_.MappedSize();
  // A section too small for the header is nobody's frame section.
  if (view_size_ < kHeaderSize) Release();
}

namespace {

// Copies tried before a frame whose slot the producer may have begun writing again is
// delivered as it is: on a machine loaded enough to hold the reader up that long,
// a picture that may mix two frames beats the placeholder.
constexpr int kCopyAttempts = 3;

// The frame size when the state is streaming and the header announces the format the
// caller expects within `capacity`, else 0.
uint32_t AnnouncedFrameSize(const void* base, uint32_t capacity, int32_t width, int32_t height) noexcept {
  if (LoadWord32(base, kProducerStateOffset) != kStateStreaming) return 0;
  if (static_cast<int32_t>(LoadWord32(base, kWidthOffset)) != width ||
      static_cast<int32_t>(LoadWord32(base, kHeightOffset)) != height ||
      static_cast<int64_t>(static_cast<int32_t>(LoadWord32(base, kStrideOffset))) != 2 * static_cast<int64_t>(width)) {
    return 0;
  }
  const uint32_t frame_size = LoadWord32(base, kFrameSizeOffset);
  return frame_size <= capacity ? frame_size : 0;
}

// True when one of the writes `sequence` + 1 .. `begun` uses the slot of `sequence`.
// Mostly the sixth does; where the slot index jumps at 2^31, already the fourth.
bool SlotReusedSince(uint32_t sequence, uint32_t begun) noexcept {
  const uint32_t ahead = begun - sequence;
  if (ahead >= kSlotCount) return true;
  for (uint32_t step = 1; step <= ahead; ++step) {
    if (SlotIndexOf(sequence + step) == SlotIndexOf(sequence)) return true;
  }
  return false;
}

}  // namespace

uint32_t FrameSectionReader::CopyNewest(void* destination, uint32_t capacity, int32_t width, int32_t height,
                                        bool* overrun) noexcept {
  if (overrun) *overrun = false;
  if (!view_ || !destination) return 0;
  const void* base = view_.get();
  for (int attempt = 1;; ++attempt) {
    // The frame size is read once per attempt: any process may rewrite the header
    // meanwhile, and every bound below must hold for the very value that is copied.
    const uint32_t frame_size = AnnouncedFrameSize(base, capacity, width, height);
    if (frame_size == 0) return 0;
    const uint32_t sequence = LoadWord32(base, kPublishedSequenceOffset);
    const uint32_t slot = LoadWord32(base, kSlotOffsetTableOffset + 4 * SlotIndexOf(sequence));
    const uint64_t slot_end = static_cast<uint64_t>(slot) + kSlotDataOffset + frame_size;
    if (slot % alignof(uint64_t) != 0 || slot_end > view_size_) return 0;
    if (LoadWord32(base, slot + kSlotLengthOffset) < frame_size) return 0;
    std::memcpy(destination, static_cast<const unsigned char*>(base) + slot + kSlotDataOffset, frame_size);

    // Read after every byte of the copy: the header and the write counter tell what
    // happened to the section meanwhile.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint32_t begun = LoadWord32(base, kWriteCounterOffset);
    // Closed, initialised again or announcing another format: no frame of ours.
    if (AnnouncedFrameSize(base, capacity, width, height) != frame_size) return 0;
    // A counter behind the sequence restarted: the section was initialised again.
    if (begun - sequence > 0x7FFFFFFFu) return 0;
    if (!SlotReusedSince(sequence, begun)) return frame_size;
    // Held up while the producer came round to this slot again: take the newest.
    if (attempt == kCopyAttempts) {
      if (overrun) *overrun = true;
      return frame_size;
    }
  }
}

void FrameSectionReader::Release() noexcept {
  view_.reset();
  view_size_ = 0;
  section_.reset();
}

bool FrameSectionReader::HasView() const noexcept { return static_cast<bool>(view_); }

}  // namespace veltrano::channel
