// Layout rule and slot index rule of the frame section.
#include "channel/frame_section_layout.h"

#include <limits>

namespace veltrano::channel {
namespace {

constexpr uint64_t AlignSlot(uint64_t offset) noexcept {
  return (offset + (kSlotAlignment - 1)) & ~static_cast<uint64_t>(kSlotAlignment - 1);
}

}  // namespace

bool ComputeFrameSectionLayout(int32_t height, int32_t stride, FrameSectionLayout* layout) noexcept {
  if (!layout || height <= 0 || stride <= 0) return false;
  constexpr uint64_t kLimit = std::numeric_limits<uint32_t>::max();
  const uint64_t frame_size = static_cast<uint64_t>(height) * static_cast<uint64_t>(stride);
  if (frame_size > kLimit) return false;

  // Every slot starts on the first 64-byte boundary after the previous slot's data;
  // the last slot's end, aligned the same way, is the section size. Each step is
  // checked, since a 32-bit wrap here would place slots outside the section.
  FrameSectionLayout result;
  result.frame_size = static_cast<uint32_t>(frame_size);
  uint64_t offset = kHeaderSize;
  for (uint32_t k = 0; k < kSlotCount; ++k) {
    result.slot_offsets[k] = static_cast<uint32_t>(offset);
    offset = AlignSlot(offset + kSlotDataOffset + frame_size);
    if (offset > kLimit) return false;
  }
  result.total_size = static_cast<uint32_t>(offset);
  *layout = result;
  return true;
}

uint32_t SlotIndexOf(uint32_t sequence) noexcept {
  // The conversion to a signed value is modular (C++20), and % truncates toward zero.
  const int32_t value = static_cast<int32_t>(sequence);
  int32_t remainder = value % static_cast<int32_t>(kSlotCount);
  if (remainder < 0) remainder += static_cast<int32_t>(kSlotCount);
  return static_cast<uint32_t>(remainder);
}

}  // namespace veltrano::channel
