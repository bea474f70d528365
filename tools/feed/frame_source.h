// What veltrano-feed sends: one source renders or reads each 1280 x 720 YUY2 frame.
// Used by the feed's main thread only.
#pragma once

#include <cstdint>
#include <string>

namespace veltrano::tools {

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr int kFrameStride = kFrameWidth * 2;
inline constexpr uint32_t kFrameBytes = static_cast<uint32_t>(kFrameStride) * kFrameHeight;

class FrameSource {
 public:
  FrameSource() = default;
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;
  virtual ~FrameSource() = default;

  //! Fills `frame` (kFrameBytes) with frame number `index`. False when the source
  //! can no longer deliver (a file that became unreadable); `error` says why.
  virtual bool Render(uint64_t index, uint8_t* frame, std::wstring* error) = 0;

  //! Last touch just before the frame is sent, with the send time in 100 ns units of
  //! the shared performance clock. The test pattern burns counter and time in here.
  virtual void Stamp(uint64_t index, uint64_t send_time, uint8_t* frame) {}

  //! The source's own frame rate, or 0 when it has none.
  virtual double NativeFps() const { return 0.0; }
};

}  // namespace veltrano::tools
