// The moving test pattern: colour bars, a grey ramp, a marker that bounces across the
// picture, and frame counter and send time both as digits and as the machine-readable
// stamp strip that veltrano-probe reads back. Laid out for 1280 x 720 and drawn in
// proportion at other sizes, with black bars where the frame is not 16:9.
#pragma once

#include <vector>

#include "tools/common/frame_decoder.h"
#include "tools/feed/frame_source.h"

namespace veltrano::tools {

class TestPatternSource final : public FrameSource {
 public:
  //! A pattern for frames of `width` (even) x `height`.
  explicit TestPatternSource(int width = kFrameWidth, int height = kFrameHeight);

  bool Render(uint64_t index, uint8_t* frame, std::wstring* error) override;
  void Stamp(uint64_t index, uint64_t send_time, uint8_t* frame) override;

 private:
  const int width_;
  const int height_;
  const PictureRect design_;         // where the 16:9 picture lies in the frame
  std::vector<uint8_t> background_;  // bars and ramp, built once
};

}  // namespace veltrano::tools
