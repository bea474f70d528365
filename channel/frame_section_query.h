// One-shot look at the frame section's header from any process: the format the
// current (or last) producer announced and whether it is streaming. Any thread.
#pragma once

#include <cstdint>

namespace veltrano::channel {

struct FrameSectionFormat {
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  uint64_t tag = 0;
  uint32_t state = 0;
};

//! Opens the section read-only, copies the header fields into `format`, and lets go
//! again. Returns false (format untouched) when no section can be opened and mapped.
bool QueryFrameSection(FrameSectionFormat* format) noexcept;

}  // namespace veltrano::channel
