// Reader side of the frame section for one camera pin: keeps a read-only view of the
// section and reads the newest published frame out of it without trusting its header.
// Not thread-safe: the pin calls it from its worker thread under its own delivery lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

namespace veltrano::channel {

//! Largest producer frame a reader takes: 3840 x 2160.
inline constexpr int32_t kMaxFrameWidth = 3840;
inline constexpr int32_t kMaxFrameHeight = 2160;

//! The newest producer frame as Locate found it: packed YUY2, rows top to bottom.
struct ProducerFrame {
  const uint8_t* data = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  uint32_t size = 0;  // stride x height
  // What Confirm compares after the read.
  uint32_t sequence = 0;
  uint32_t initialisation = 0;
};

//! What happened to a frame's bytes while they were read.
enum class ReadOutcome {
  kIntact,       // nothing touched the slot: the bytes read are the producer's frame
  kOverwritten,  // the producer may have begun writing the slot again: read the newest again
  kRestarted,    // a producer initialised the section again: read its newest, if it has one
  kGone,         // closed or reformatted: no producer frame
};

class FrameSectionReader {
 public:
  //! Reads of one frame tried before a frame whose slot the producer may have begun
  //! writing again is taken as it is: on a machine loaded enough to hold the reader up
  //! that long, a picture that may mix two frames beats the placeholder.
  static constexpr int kReadAttempts = 3;

  FrameSectionReader() noexcept;
  FrameSectionReader(const FrameSectionReader&) = delete;
  FrameSectionReader& operator=(const FrameSectionReader&) = delete;
  ~FrameSectionReader();  // releases the view

  // Section view upkeep, once per sample: a held view is dropped when the producer
  // state reads 0 (empty) or 3 (closed); when no view is held (now), open the section
  // read-only, map all of it, and keep it only when its state is 1 (created) or 2
  // (streaming). A closed or empty section is never kept, so it disappears once its
  // producer and every reader are gone. Failures are silent (tried again next sample).
  void Refresh() noexcept;

  //! Finds the newest frame when a view is held, the state is 2 and the header
  //! announces a frame the camera can show: an even width of 2 to kMaxFrameWidth, a
  //! height of 2 to kMaxFrameHeight, a stride of at least twice the width and a frame
  //! size of exactly stride x height, in a slot that lies inside the view and whose
  //! length covers the frame. False means "no producer frame".
  bool Locate(ProducerFrame* frame) const noexcept;

  //! After the bytes of `frame` were read: whether they are the producer's frame. Reads
  //! the header and the write counter again behind an acquire fence.
  ReadOutcome Confirm(const ProducerFrame& frame) const noexcept;

  //! Locate, `consume(frame)`, Confirm, tried again while the slot was overwritten or
  //! the section was initialised again (at most kReadAttempts reads). When every read
  //! met a slot being overwritten by the same producer, the last one counts and
  //! `overrun` is set; a read across a new producer's start never counts. A consumer
  //! returning false declines the frame. True when the last read consumed an intact
  //! (or overrun) frame; on false the consumer may have read part of one.
  template <typename Consume>
  bool ReadNewest(Consume&& consume, bool* overrun = nullptr) const noexcept {
    if (overrun) *overrun = false;
    for (int attempt = 1;; ++attempt) {
      ProducerFrame frame;
      if (!Locate(&frame) || !consume(static_cast<const ProducerFrame&>(frame))) return false;
      switch (Confirm(frame)) {
        case ReadOutcome::kIntact:
          return true;
        case ReadOutcome::kGone:
          return false;
        case ReadOutcome::kRestarted:
          if (attempt < kReadAttempts) continue;
          return false;
        case ReadOutcome::kOverwritten:
          if (attempt < kReadAttempts) continue;
          if (overrun) *overrun = true;
          return true;
      }
    }
  }

  //! Copies the newest frame to `destination` when it is `width` x `height` with a
  //! stride of 2 x width and at most `capacity` bytes; returns the bytes copied (the
  //! frame size) or 0 when no producer frame was taken (the destination may then hold
  //! part of a copy).
  uint32_t CopyNewest(void* destination, uint32_t capacity, int32_t width, int32_t height,
                      bool* overrun = nullptr) const noexcept;

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
