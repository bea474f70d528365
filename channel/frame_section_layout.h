// Binary layout of the frame section shared by the producer and every camera pin:
// names, header offsets, state values, the slot layout rule and the slot index rule.
// Everything here is stateless and safe to call from any thread.
#pragma once

#include <cstdint>

namespace veltrano::channel {

inline constexpr wchar_t kFrameSectionName[] = L"Local\\VeltranoVirtualCamera.Video";
inline constexpr wchar_t kProducerMutexName[] = L"Local\\VeltranoVirtualCamera.ProducerLock";

inline constexpr uint32_t kSlotCount = 6;
inline constexpr uint32_t kHeaderSize = 128;
inline constexpr uint32_t kSlotAlignment = 64;

// Frame header, byte offsets from the start of the section.
inline constexpr uint32_t kWriteCounterOffset = 0;
inline constexpr uint32_t kPublishedSequenceOffset = 4;
inline constexpr uint32_t kProducerStateOffset = 8;
inline constexpr uint32_t kWidthOffset = 12;
inline constexpr uint32_t kHeightOffset = 16;
inline constexpr uint32_t kStrideOffset = 20;
inline constexpr uint32_t kFrameSizeOffset = 24;
// Number of times a section of this name has been initialised, 1 after the first and
// never 0 again once a producer has begun initialising it. A reader compares
// it before and after a copy: the write counter alone restarts at 0 with every new
// producer and, once the newcomer has caught up with the sequence being copied, cannot
// tell a restart from a quiet producer. Older producers leave the word at 0.
inline constexpr uint32_t kInitialisationCountOffset = 28;
inline constexpr uint32_t kProducerTagOffset = 32;
inline constexpr uint32_t kSlotOffsetTableOffset = 40;

// Frame slot, byte offsets from the start of the slot.
inline constexpr uint32_t kSlotStampOffset = 0;
inline constexpr uint32_t kSlotLengthOffset = 8;
inline constexpr uint32_t kSlotDataOffset = 16;

// Producer state values.
inline constexpr uint32_t kStateEmpty = 0;
inline constexpr uint32_t kStateCreated = 1;
inline constexpr uint32_t kStateStreaming = 2;
inline constexpr uint32_t kStateClosed = 3;

//! Where the slots of one frame format lie and how large the whole section is.
struct FrameSectionLayout {
  uint32_t frame_size = 0;
  uint32_t slot_offsets[kSlotCount] = {};
  uint32_t total_size = 0;
};

//! Computes the layout for `height` rows of `stride` bytes. The arithmetic runs in
//! 64 bits; returns false (layout untouched) when height or stride is not positive or
//! when the frame size or the total size does not fit in 32 bits, so that no size
//! ever wraps into a section smaller than the frames written into it.
bool ComputeFrameSectionLayout(int32_t height, int32_t stride, FrameSectionLayout* layout) noexcept;

//! Slot used by sequence number `sequence`: the sequence read as a signed 32-bit
//! value, its remainder by six truncated toward zero, plus six when negative. The
//! producer and every reader must agree on this for every value, wrap included.
uint32_t SlotIndexOf(uint32_t sequence) noexcept;

}  // namespace veltrano::channel
