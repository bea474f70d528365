// A still picture read through WIC, scaled to fit the frame size and letterboxed when
// it has another size, converted to YUY2 once and sent unchanged.
#pragma once

#include <memory>
#include <vector>

#include "tools/feed/frame_source.h"

namespace veltrano::tools {

class StillImageSource final : public FrameSource {
 public:
  //! Reads and converts the picture (COM must be initialised). Null on failure with
  //! the reason in `error`; `note` says whether the picture was scaled.
  static std::unique_ptr<StillImageSource> Open(const std::wstring& path, std::wstring* note, std::wstring* error,
                                                FrameSize size = FrameSize{});

  bool Render(uint64_t index, uint8_t* frame, std::wstring* error) override;

 private:
  StillImageSource() = default;
  std::vector<uint8_t> frame_;
};

}  // namespace veltrano::tools
