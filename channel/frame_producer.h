// The producer side of the frame section: one live producer holds the producer mutex,
// the section and a read/write view, and publishes frames into the slot ring.
// Create and TearDown run on the thread that owns the producer (the mutex belongs to
// it); WriteFrame runs on one thread at a time and never overlaps TearDown.
#pragma once

#include <cstdint>

#include "channel/frame_section_layout.h"
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

namespace veltrano::channel {

class FrameProducer {
 public:
  FrameProducer() noexcept = default;
  FrameProducer(const FrameProducer&) = delete;
  FrameProducer& operator=(const FrameProducer&) = delete;
  ~FrameProducer() { TearDown(); }

  //! Longest wait for capture applications to let go of an earlier producer's section
  //! that is too small for a new one: readers look once per sample, so this covers a
  //! sample period of one second with room to spare.
  static constexpr ULONGLONG kSmallerSectionWaitMilliseconds = 2000;
  static constexpr DWORD kSmallerSectionPollMilliseconds = 2;

  //! Takes the producer mutex, creates (or reopens) the section and initialises it.
  //! Returns false with nothing held on any failure: a zero or negative argument, a
  //! size that does not fit in 32 bits, another live producer, or a system refusal.
  //! An earlier, closed or abandoned section too small for this producer is marked
  //! closed and waited for (bounded) until its readers have let go of it; if they do
  //! not in time, its state is put back and the creation fails.
  bool Create(int32_t width, int32_t height, int32_t stride, uint64_t tag) noexcept;

  //! Publishes the first frame-size bytes of `data` into the next slot. Returns false
  //! without touching the section when nothing is held, `data` is null, `byte_count`
  //! is short of the frame size, or a newer producer has re-initialised the section
  //! (in this process, or in another one that took over after this producer's thread
  //! ended and left the mutex abandoned).
  bool WriteFrame(const void* data, uint32_t byte_count, uint64_t stamp) noexcept;

  //! Marks the section closed when this producer is the one that last initialised it
  //! and the section is still its own, then unmaps the view, closes the section and
  //! releases and closes the mutex.
  void TearDown() noexcept;

  //! True while this producer is the last one of the process to have initialised the
  //! section (a second Create on the owning thread supersedes the first).
  bool IsCurrentInitialiser() const noexcept;

 private:
  // Creates (or opens) the section and maps all of it read/write into section_/view_.
  bool MapSection(const FrameSectionLayout& layout) noexcept;

  // True while the header still holds the initialisation count, width, height, stride
  // and tag this producer wrote. A producer of another process that took the section
  // over (after this one's creating thread ended) writes its own; the record of the
  // current initialiser above only knows this process. Without a lock between
  // processes a takeover in the middle of a write can still meet it: the copy may land
  // in the new producer's slot, though it is never published.
  bool SectionIsStillOurs() const noexcept;

  platform::UniqueHandle section_;
  platform::UniqueHandle mutex_;
  platform::MappedView view_;
  bool owns_view_ = false;
  // The producer writes with the layout it computed itself: the shared header can be
  // overwritten by any process of the session, and is read back only to tell whether
  // the section is still this producer's.
  FrameSectionLayout layout_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t stride_ = 0;
  uint64_t tag_ = 0;
  uint32_t initialisation_ = 0;  // the initialisation count this producer wrote
};

}  // namespace veltrano::channel
