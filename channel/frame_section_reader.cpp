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

uint32_t FrameSectionReader::CopyNewest(void* destination, uint32_t capacity, int32_t width,
                                        int32_t height) noexcept {
  if (!view_ || !destination) return 0;
  const void* base = view_.get();
  if (LoadWord32(base, kProducerStateOffset) != kStateStreaming) return 0;
  if (static_cast<int32_t>(LoadWord32(base, kWidthOffset)) != width ||
      static_cast<int32_t>(LoadWord32(base, kHeightOffset)) != height ||
      static_cast<int64_t>(static_cast<int32_t>(LoadWord32(base, kStrideOffset))) != 2 * static_cast<int64_t>(width)) {
    return 0;
  }
  // The frame size is read once: any process may rewrite the header meanwhile, and
  // every bound below must hold for the very value that is copied.
  const uint32_t frame_size = LoadWord32(base, kFrameSizeOffset);
  if (frame_size == 0 || frame_size > capacity) return 0;

  // A reader held up in its copy while the producer begins six more writes meets the
  // slot being written again; the copy is then tried once more with the newest frame.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const uint32_t sequence = LoadWord32(base, kPublishedSequenceOffset);
    const uint32_t slot = LoadWord32(base, kSlotOffsetTableOffset + 4 * SlotIndexOf(sequence));
    const uint64_t slot_end = static_cast<uint64_t>(slot) + kSlotDataOffset + frame_size;
    if (slot % alignof(uint64_t) != 0 || slot_end > view_size_) return 0;
    if (LoadWord32(base, slot + kSlotLengthOffset) < frame_size) return 0;
    std::memcpy(destination, static_cast<const unsigned char*>(base) + slot + kSlotDataOffset, frame_size);
    // The counter is read after every byte of the copy. Sequences s + 1 to s + 5 use
    // the other slots; s + 6 reuses this one. A re-initialised section restarts the
    // counter below s, which the unsigned difference also counts as overrun.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint32_t begun = LoadWord32(base, kWriteCounterOffset);
    if (begun - sequence < kSlotCount) return frame_size;
  }
  return 0;
}

void FrameSectionReader::Release() noexcept {
  view_.reset();
  view_size_ = 0;
  section_.reset();
}

bool FrameSectionReader::HasView() const noexcept { return static_cast<bool>(view_); }

}  // namespace veltrano::channel
