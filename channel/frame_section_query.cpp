// Reading the producer's announced format out of the frame section header.
#include "channel/frame_section_query.h"

#include <windows.h>

#include "channel/frame_section_layout.h"
#include "channel/frame_section_words.h"
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

namespace veltrano::channel {

bool QueryFrameSection(FrameSectionFormat* format) noexcept {
  if (!format) return false;
  platform::UniqueHandle section(::OpenFileMappingW(FILE_MAP_READ, FALSE, kFrameSectionName));
  if (!section) return false;
  // The header alone: the whole section of a 3840 x 2160 producer is about 100 MB of
  // address space, which a 32-bit process asking for the format may not have to spare.
  platform::MappedView view(::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, kHeaderSize));
  if (!view || view.MappedSize() < kHeaderSize) return false;
  const void* base = view.get();
  format->width = static_cast<int32_t>(LoadWord32(base, kWidthOffset));
  format->height = static_cast<int32_t>(LoadWord32(base, kHeightOffset));
  format->stride = static_cast<int32_t>(LoadWord32(base, kStrideOffset));
  format->tag = LoadWord64(base, kProducerTagOffset);
  format->state = LoadWord32(base, kProducerStateOffset);
  return true;
}

}  // namespace veltrano::channel
