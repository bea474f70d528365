// A YUV4MPEG2 (.y4m) file of the frame size (1280 x 720 unless --size says
// otherwise) in 4:2:0, 4:2:2, 4:4:4 or mono planar layout, converted frame by frame to packed YUY2 and played in a loop. Chroma of
// 4:2:0 is repeated on both rows of its pair; 4:4:4 chroma is averaged per pair.
#pragma once

#include <fstream>
#include <memory>
#include <vector>

#include "tools/feed/frame_source.h"

namespace veltrano::tools {

class Y4mFileSource final : public FrameSource {
 public:
  enum class Chroma { k420, k422, k444, kMono };

  //! Null with the reason in `error` when the file cannot be read, its header is
  //! malformed, or its size is not `size`; `note` describes the file.
  static std::unique_ptr<Y4mFileSource> Open(const std::wstring& path, std::wstring* note, std::wstring* error,
                                             FrameSize size = FrameSize{});

  bool Render(uint64_t index, uint8_t* frame, std::wstring* error) override;
  double NativeFps() const override { return fps_; }

 private:
  Y4mFileSource() = default;
  bool ReadFrame(std::wstring* error);
  void ConvertFrame(uint8_t* frame) const;

  std::ifstream file_;
  std::streamoff first_frame_ = 0;
  FrameSize size_;
  Chroma chroma_ = Chroma::k420;
  double fps_ = 0.0;
  size_t chroma_width_ = 0;
  size_t chroma_height_ = 0;
  std::vector<uint8_t> planes_;  // Y, then U and V (absent for mono)
};

}  // namespace veltrano::tools
