#include "tools/feed/y4m_file_source.h"

#include <cstdlib>
#include <new>
#include <sstream>
#include <string>

namespace veltrano::tools {
namespace {

constexpr size_t kMaxHeaderLine = 1024;

bool ReadLine(std::ifstream& file, std::string* line) {
  line->clear();
  char c = 0;
  while (file.get(c)) {
    if (c == '\n') return true;
    if (line->size() >= kMaxHeaderLine) return false;
    line->push_back(c);
  }
  return false;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::unique_ptr<Y4mFileSource> Y4mFileSource::Open(const std::wstring& path, std::wstring* note,
                                                   std::wstring* error, FrameSize size) {
  std::unique_ptr<Y4mFileSource> source(new (std::nothrow) Y4mFileSource());
  if (!source) {
    *error = L"out of memory";
    return nullptr;
  }
  source->file_.open(path.c_str(), std::ios::binary);
  if (!source->file_) {
    *error = L"cannot open " + path;
    return nullptr;
  }
  std::string header;
  if (!ReadLine(source->file_, &header) || header.rfind("YUV4MPEG2", 0) != 0) {
    *error = path + L" is not a YUV4MPEG2 file";
    return nullptr;
  }
  long width = 0;
  long height = 0;
  std::string colour = "420";
  std::istringstream fields(header.substr(9));
  std::string field;
  while (fields >> field) {
    const char tag = field[0];
    const std::string value = field.substr(1);
    if (tag == 'W') width = std::strtol(value.c_str(), nullptr, 10);
    if (tag == 'H') height = std::strtol(value.c_str(), nullptr, 10);
    if (tag == 'C') colour = value;
    if (tag == 'I' && value != "p" && value != "?") {
      *error = path + L" is interlaced; only progressive Y4M is supported";
      return nullptr;
    }
    if (tag == 'F') {
      const size_t colon = value.find(':');
      const double numerator = std::strtod(value.substr(0, colon).c_str(), nullptr);
      const double denominator = colon == std::string::npos ? 1.0 : std::strtod(value.substr(colon + 1).c_str(), nullptr);
      if (numerator > 0 && denominator > 0) source->fps_ = numerator / denominator;
    }
  }
  if (width != size.width || height != size.height) {
    *error = path + L" is " + std::to_wstring(width) + L"x" + std::to_wstring(height) + L"; the feed sends " +
             size.text() + L" frames (--size)";
    return nullptr;
  }
  source->size_ = size;
  // 4:2:0 chroma of an odd height covers the last row with a half row of its own.
  const size_t half_width = static_cast<size_t>(size.width) / 2;
  const size_t half_height = (static_cast<size_t>(size.height) + 1) / 2;
  // Sample positions (jpeg, mpeg2, paldv) change nothing at this precision.
  if (colour == "420" || colour == "420jpeg" || colour == "420mpeg2" || colour == "420paldv") {
    source->chroma_ = Chroma::k420;
    source->chroma_width_ = half_width;
    source->chroma_height_ = half_height;
  } else if (colour == "422") {
    source->chroma_ = Chroma::k422;
    source->chroma_width_ = half_width;
    source->chroma_height_ = size.height;
  } else if (colour == "444") {
    source->chroma_ = Chroma::k444;
    source->chroma_width_ = size.width;
    source->chroma_height_ = size.height;
  } else if (colour == "mono") {
    source->chroma_ = Chroma::kMono;
  } else {
    *error = path + L" has colour space C" + Widen(colour) + L"; supported are 420, 422, 444 and mono at 8 bits";
    return nullptr;
  }
  try {
    source->planes_.resize(static_cast<size_t>(size.width) * size.height +
                           2 * source->chroma_width_ * source->chroma_height_);
  } catch (const std::bad_alloc&) {
    *error = L"out of memory";
    return nullptr;
  }
  source->first_frame_ = source->file_.tellg();
  if (!source->ReadFrame(error)) {
    *error = path + L": " + *error;
    return nullptr;
  }
  source->file_.clear();
  source->file_.seekg(source->first_frame_);
  *note = L"Y4M " + path + L": " + size.text() + L" C" + Widen(colour) +
          (source->fps_ > 0 ? L", " + std::to_wstring(source->fps_) + L" fps" : std::wstring()) + L", looped";
  return source;
}

bool Y4mFileSource::ReadFrame(std::wstring* error) {
  std::string marker;
  if (!ReadLine(file_, &marker) || marker.rfind("FRAME", 0) != 0) {
    *error = L"no complete FRAME found";
    return false;
  }
  file_.read(reinterpret_cast<char*>(planes_.data()), static_cast<std::streamsize>(planes_.size()));
  if (file_.gcount() != static_cast<std::streamsize>(planes_.size())) {
    *error = L"truncated frame";
    return false;
  }
  return true;
}

bool Y4mFileSource::Render(uint64_t index, uint8_t* frame, std::wstring* error) {
  // At the end of the file (or a truncated last frame) start over from the first.
  if (file_.peek() == std::char_traits<char>::eof() || !ReadFrame(error)) {
    file_.clear();
    file_.seekg(first_frame_);
    if (!ReadFrame(error)) {
      *error = L"the Y4M file became unreadable: " + *error;
      return false;
    }
  }
  ConvertFrame(frame);
  return true;
}

void Y4mFileSource::ConvertFrame(uint8_t* frame) const {
  const uint8_t* luma = planes_.data();
  const int width = size_.width;
  const uint8_t* cb = luma + static_cast<size_t>(width) * size_.height;
  const uint8_t* cr = cb + chroma_width_ * chroma_height_;
  for (int y = 0; y < size_.height; ++y) {
    const uint8_t* luma_row = luma + static_cast<size_t>(y) * width;
    const size_t chroma_row = (chroma_ == Chroma::k420 ? y / 2 : y) * chroma_width_;
    uint8_t* out = frame + static_cast<size_t>(y) * width * 2;
    for (int x = 0; x < width; x += 2) {
      uint8_t u = 128;
      uint8_t v = 128;
      if (chroma_ == Chroma::k444) {
        u = static_cast<uint8_t>((cb[chroma_row + x] + cb[chroma_row + x + 1]) >> 1);
        v = static_cast<uint8_t>((cr[chroma_row + x] + cr[chroma_row + x + 1]) >> 1);
      } else if (chroma_ != Chroma::kMono) {
        u = cb[chroma_row + x / 2];
        v = cr[chroma_row + x / 2];
      }
      uint8_t* pair = out + x * 2;
      pair[0] = luma_row[x];
      pair[1] = u;
      pair[2] = luma_row[x + 1];
      pair[3] = v;
    }
  }
}

}  // namespace veltrano::tools
