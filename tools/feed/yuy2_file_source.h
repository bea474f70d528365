// Raw packed YUY2 frames of the frame size (1280 x 720 unless --size says otherwise;
// rows of 2 x width bytes, no header), read from a file frame by frame and looped.
#pragma once

#include <fstream>
#include <memory>

#include "tools/feed/frame_source.h"

namespace veltrano::tools {

class Yuy2FileSource final : public FrameSource {
 public:
  //! Null with the reason in `error` when the file cannot be read or is not a whole
  //! number of frames; `note` describes the file.
  static std::unique_ptr<Yuy2FileSource> Open(const std::wstring& path, std::wstring* note, std::wstring* error,
                                              FrameSize size = FrameSize{});

  bool Render(uint64_t index, uint8_t* frame, std::wstring* error) override;

 private:
  Yuy2FileSource() = default;
  std::ifstream file_;
  uint32_t frame_bytes_ = 0;
  uint64_t frame_count_ = 0;
};

}  // namespace veltrano::tools
