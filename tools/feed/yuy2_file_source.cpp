#include "tools/feed/yuy2_file_source.h"

#include <new>

namespace veltrano::tools {

std::unique_ptr<Yuy2FileSource> Yuy2FileSource::Open(const std::wstring& path, std::wstring* note,
                                                     std::wstring* error, FrameSize size) {
  std::unique_ptr<Yuy2FileSource> source(new (std::nothrow) Yuy2FileSource());
  if (!source) {
    *error = L"out of memory";
    return nullptr;
  }
  source->file_.open(path.c_str(), std::ios::binary);
  if (!source->file_) {
    *error = L"cannot open " + path;
    return nullptr;
  }
  source->file_.seekg(0, std::ios::end);
  const std::streamoff file_bytes = source->file_.tellg();
  source->file_.seekg(0, std::ios::beg);
  source->frame_bytes_ = size.bytes();
  if (source->frame_bytes_ == 0 || file_bytes <= 0 || file_bytes % source->frame_bytes_ != 0) {
    *error = path + L" is " + std::to_wstring(file_bytes < 0 ? 0 : file_bytes) + L" bytes, not a whole number of " +
             size.text() + L" YUY2 frames (" + std::to_wstring(source->frame_bytes_) + L" bytes each)";
    return nullptr;
  }
  source->frame_count_ = static_cast<uint64_t>(file_bytes) / source->frame_bytes_;
  *note = L"raw YUY2 " + path + L": " + std::to_wstring(source->frame_count_) + L" frames of " + size.text() + L", looped";
  return source;
}

bool Yuy2FileSource::Render(uint64_t index, uint8_t* frame, std::wstring* error) {
  if (index % frame_count_ == 0) {
    file_.clear();
    file_.seekg(0, std::ios::beg);
  }
  file_.read(reinterpret_cast<char*>(frame), frame_bytes_);
  if (file_.gcount() != static_cast<std::streamsize>(frame_bytes_)) {
    *error = L"the YUY2 file became unreadable";
    return false;
  }
  return true;
}

}  // namespace veltrano::tools
