// The moving test pattern: colour bars, a grey ramp, a marker that bounces across the
// picture, and frame counter and send time both as digits and as the machine-readable
// stamp strip that veltrano-probe reads back.
#pragma once

#include <vector>

#include "tools/feed/frame_source.h"

namespace veltrano::tools {

class TestPatternSource final : public FrameSource {
 public:
  TestPatternSource();

  bool Render(uint64_t index, uint8_t* frame, std::wstring* error) override;
  void Stamp(uint64_t index, uint64_t send_time, uint8_t* frame) override;

 private:
  std::vector<uint8_t> background_;  // bars and ramp, built once
};

}  // namespace veltrano::tools
