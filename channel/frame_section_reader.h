// Reader side of the frame section for one camera pin: keeps a read-only view of the
// section and copies the newest published frame out of it. Not thread-safe: the pin
// calls it from its worker thread under its own delivery lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

namespace veltrano::channel {

class FrameSectionReader {
 public:
  FrameSectionReader() noexcept;
  FrameSectionReader(const FrameSectionReader&) = delete;
  FrameSectionReader& operator=(const FrameSectionReader&) = delete;
  ~FrameSectionReader();  // releases the view

  // Section view upkeep, once per sample: a held view is dropped when the producer
  // state reads 0 (empty) or 3 (closed); when no view is held (now), open the section
  // read-only and map all of it. Failures are silent (tried again next sample).
  void Refresh() noexcept;

  // Copies the newest published frame to `destination` when a view is held, the state
  // is 2, the header's width/height equal `width`/`height`, its stride is 2*width, and
  // its frame size is at most `capacity`; returns the number of bytes copied (the
  // frame size) or 0 when no producer frame was taken. A header whose slot offset,
  // frame size or slot length does not fit inside the mapped view is treated as "no
  // producer frame"; so is a section closed, initialised again or reformatted during
  // the copy (the destination then holds part of a copy). When the producer began
  // writing the copied slot again during the copy, the copy is tried again with the
  // newest frame; if that keeps happening, the last copy is returned and `overrun`
  // (optional) is set.
  uint32_t CopyNewest(void* destination, uint32_t capacity, int32_t width, int32_t height,
                      bool* overrun = nullptr) noexcept;

  // Unmaps the view and closes the section handle (worker exit).
  void Release() noexcept;

  bool HasView() const noexcept;

 private:
  platform::UniqueHandle section_;
  platform::MappedView view_;
  // Bytes actually mapped, measured once when the view is taken: the bound for every
  // offset the header claims.
  std::size_t view_size_ = 0;
};

}  // namespace veltrano::channel
