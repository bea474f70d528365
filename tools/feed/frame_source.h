// What veltrano-feed sends: one source renders or reads each packed YUY2 frame, of
// 1280 x 720 unless --size says otherwise. Used by the feed's main thread only.
#pragma once

#include <cstdint>
#include <string>

namespace veltrano::tools {

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr int kFrameStride = kFrameWidth * 2;
inline constexpr uint32_t kFrameBytes = static_cast<uint32_t>(kFrameStride) * kFrameHeight;

//! The size of the frames a source makes: an even width (rows of 2 x width bytes).
struct FrameSize {
  int width = kFrameWidth;
  int height = kFrameHeight;

  uint32_t bytes() const { return static_cast<uint32_t>(width) * 2 * static_cast<uint32_t>(height); }
  std::wstring text() const { return std::to_wstring(width) + L"x" + std::to_wstring(height); }
};

class FrameSource {
 public:
  FrameSource() = default;
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;
  virtual ~FrameSource() = default;

  //! Fills `frame` (one frame of the source's size) with frame number `index`. False when the source
  //! can no longer deliver (a file that became unreadable); `error` says why.
  virtual bool Render(uint64_t index, uint8_t* frame, std::wstring* error) = 0;

  //! Last touch just before the frame is sent, with the send time in 100 ns units of
  //! the shared performance clock. The test pattern burns counter and time in here.
  virtual void Stamp(uint64_t index, uint64_t send_time, uint8_t* frame) {}

  //! The source's own frame rate, or 0 when it has none.
  virtual double NativeFps() const { return 0.0; }
};

}  // namespace veltrano::tools
