// Reading the newest frame out of the frame section without trusting its header.
#include "channel/frame_section_reader.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "channel/frame_section_layout.h"
#include "channel/frame_section_words.h"

namespace veltrano::channel {

FrameSectionReader::FrameSectionReader() noexcept = default;

FrameSectionReader::~FrameSectionReader() { Release(); }

void FrameSectionReader::Refresh() noexcept {
  if (view_) {
    const uint32_t state = LoadWord32(view_.get(), kProducerStateOffset);
    if (state == kStateCreated || state == kStateStreaming) return;
    Release();
  }
  // Kept only while a producer has initialised the section. A closed or empty section
  // is let go again at once: a reader that held on to it (or reopened it into keeping)
  // would keep the object alive as long as any other reader does, and a producer of a
  // larger frame could never create the section anew.
  platform::UniqueHandle section(::OpenFileMappingW(FILE_MAP_READ, FALSE, kFrameSectionName));
  if (!section) return;
  platform::MappedView view(::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0));
  // A section too small for the header is nobody's frame section.
  const std::size_t size = view.MappedSize();
  if (size < kHeaderSize) return;
  const uint32_t state = LoadWord32(view.get(), kProducerStateOffset);
  if (state != kStateCreated && state != kStateStreaming) return;
  section_ = std::move(section);
  view_ = std::move(view);
  view_size_ = size;
}

namespace {

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

// Reads the header's format into `frame` when the state is streaming and the format
// is one the camera shows.
bool ReadAnnouncedFormat(const void* base, ProducerFrame* frame) noexcept {
  if (LoadWord32(base, kProducerStateOffset) != kStateStreaming) return false;
  const int32_t width = static_cast<int32_t>(LoadWord32(base, kWidthOffset));
  const int32_t height = static_cast<int32_t>(LoadWord32(base, kHeightOffset));
  const int32_t stride = static_cast<int32_t>(LoadWord32(base, kStrideOffset));
  if (width < 2 || width > kMaxFrameWidth || width % 2 != 0) return false;
  if (height < 2 || height > kMaxFrameHeight) return false;
  if (stride < 2 * width) return false;
  // A frame is exactly stride x height bytes: a header announcing fewer would leave the
  // rest of the sample holding whatever the buffer held before.
  const uint32_t size = LoadWord32(base, kFrameSizeOffset);
  if (size != static_cast<uint64_t>(stride) * static_cast<uint64_t>(height)) return false;
  frame->width = width;
  frame->height = height;
  frame->stride = stride;
  frame->size = size;
  return true;
}

}  // namespace

bool FrameSectionReader::Locate(ProducerFrame* frame) const noexcept {
  if (!view_ || !frame) return false;
  const void* base = view_.get();
  // Read before anything else: a producer that initialises the section anew changes
  // it before it announces a frame. Every header word is read once and every bound
  // below holds for the very values that are handed on: any process may rewrite the
  // header meanwhile.
  ProducerFrame found;
  found.initialisation = LoadWord32(base, kInitialisationCountOffset);
  if (!ReadAnnouncedFormat(base, &found)) return false;
  found.sequence = LoadWord32(base, kPublishedSequenceOffset);
  const uint32_t slot = LoadWord32(base, kSlotOffsetTableOffset + 4 * SlotIndexOf(found.sequence));
  const uint64_t slot_end = static_cast<uint64_t>(slot) + kSlotDataOffset + found.size;
  if (slot % alignof(uint64_t) != 0 || slot_end > view_size_) return false;
  if (LoadWord32(base, slot + kSlotLengthOffset) < found.size) return false;
  found.data = static_cast<const uint8_t*>(base) + slot + kSlotDataOffset;
  *frame = found;
  return true;
}

ReadOutcome FrameSectionReader::Confirm(const ProducerFrame& frame) const noexcept {
  if (!view_) return ReadOutcome::kGone;
  const void* base = view_.get();
  // Everything below is read after every byte of the frame.
  std::atomic_thread_fence(std::memory_order_acquire);
  const uint32_t begun = LoadWord32(base, kWriteCounterOffset);
  // Closed or announcing another format: no frame of ours.
  ProducerFrame now;
  if (!ReadAnnouncedFormat(base, &now) || now.width != frame.width || now.height != frame.height ||
      now.stride != frame.stride || now.size != frame.size) {
    return ReadOutcome::kGone;
  }
  // Initialised again: the read may mix two producers' frames. A new producer's frames
  // may already have passed the sequence read, so the counter alone cannot tell a
  // restart; the initialisation count can.
  if (LoadWord32(base, kInitialisationCountOffset) != frame.initialisation) return ReadOutcome::kRestarted;
  // A counter behind the sequence restarted: the section was initialised again.
  if (begun - frame.sequence > 0x7FFFFFFFu) return ReadOutcome::kRestarted;
  // Held up while the producer came round to this slot again.
  return SlotReusedSince(frame.sequence, begun) ? ReadOutcome::kOverwritten : ReadOutcome::kIntact;
}

uint32_t FrameSectionReader::CopyNewest(void* destination, uint32_t capacity, int32_t width, int32_t height,
                                        bool* overrun) const noexcept {
  if (!destination) {
    if (overrun) *overrun = false;
    return 0;
  }
  uint32_t copied = 0;
  const bool taken = ReadNewest(
      [&](const ProducerFrame& frame) {
        if (frame.width != width || frame.height != height || frame.stride != 2 * width || frame.size > capacity) {
          return false;
        }
        std::memcpy(destination, frame.data, frame.size);
        copied = frame.size;
        return true;
      },
      overrun);
  return taken ? copied : 0;
}

void FrameSectionReader::Release() noexcept {
  view_.reset();
  view_size_ = 0;
  section_.reset();
}

bool FrameSectionReader::HasView() const noexcept { return static_cast<bool>(view_); }

}  // namespace veltrano::channel
