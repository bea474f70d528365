// Strip layout, 128 bits, least significant bit first, row by row:
// 16-bit marker, 32-bit counter, 64-bit send time, 16-bit check word.
#include "tools/common/frame_stamp.h"

#include <array>

namespace veltrano::tools {
namespace {

constexpr uint16_t kMarker = 0x56C7;
constexpr int kBitCount = kStampColumns * kStampRows;
constexpr uint8_t kBlackY = 16;
constexpr uint8_t kWhiteY = 235;
// The design's own place in a frame of its size or larger.
constexpr PictureRect kDesignAtOrigin = {0, 0, kStampDesignWidth, kStampDesignHeight};

using Bits = std::array<bool, kBitCount>;

// FNV-1a over the counter and time bytes, folded to 16 bits: a torn or foreign strip
// fails it with overwhelming probability.
uint16_t CheckWord(uint32_t counter, uint64_t send_time) {
  uint32_t hash = 2166136261u;
  auto mix = [&hash](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      hash ^= static_cast<uint8_t>(value >> (8 * i));
      hash *= 16777619u;
    }
  };
  mix(counter, 4);
  mix(send_time, 8);
  return static_cast<uint16_t>(hash ^ (hash >> 16));
}

void PutBits(Bits& bits, int& at, uint64_t value, int count) {
  for (int i = 0; i < count; ++i) bits[at++] = ((value >> i) & 1) != 0;
}

uint64_t TakeBits(const Bits& bits, int& at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value |= static_cast<uint64_t>(bits[at++]) << i;
  return value;
}

// Design coordinate `design_x` (0..1280) as a frame column, rounded down.
int MapX(const PictureRect& design, int64_t design_x2) {
  // design_x2 is twice the design coordinate, so that pixel centres stay integers.
  return design.left + static_cast<int>(design_x2 * design.width / (2 * kStampDesignWidth));
}

int MapY(const PictureRect& design, int64_t design_y2) {
  return design.top + static_cast<int>(design_y2 * design.height / (2 * kStampDesignHeight));
}

// Blocks of at least 2 x 2 pixels, inside a frame of width x height.
bool StripFits(const PictureRect& design, int width, int height) {
  if (design.left < 0 || design.top < 0) return false;
  if (static_cast<int64_t>(design.width) * kStampBlockSize < 2 * kStampDesignWidth) return false;
  if (static_cast<int64_t>(design.height) * kStampBlockSize < 2 * kStampDesignHeight) return false;
  return MapX(design, 2 * kStampWidth) <= width && MapY(design, 2 * kStampHeight) <= height;
}

}  // namespace

bool WriteFrameStamp(uint8_t* yuy2, int width, int height, const FrameStamp& stamp) {
  return WriteFrameStamp(yuy2, width, height, kDesignAtOrigin, stamp);
}

bool WriteFrameStamp(uint8_t* yuy2, int width, int height, const PictureRect& design, const FrameStamp& stamp) {
  if (!yuy2 || width % 2 != 0 || !StripFits(design, width, height)) return false;
  Bits bits{};
  int at = 0;
  PutBits(bits, at, kMarker, 16);
  PutBits(bits, at, stamp.counter, 32);
  PutBits(bits, at, stamp.send_time, 64);
  PutBits(bits, at, CheckWord(stamp.counter, stamp.send_time), 16);

  const size_t stride = static_cast<size_t>(width) * 2;
  for (int bit = 0; bit < kBitCount; ++bit) {
    const int column = bit % kStampColumns;
    const int row = bit / kStampColumns;
    const int x0 = MapX(design, 2 * column * kStampBlockSize);
    const int x1 = MapX(design, 2 * (column + 1) * kStampBlockSize);
    const int y0 = MapY(design, 2 * row * kStampBlockSize);
    const int y1 = MapY(design, 2 * (row + 1) * kStampBlockSize);
    const uint8_t luma = bits[bit] ? kWhiteY : kBlackY;
    for (int y = y0; y < y1; ++y) {
      uint8_t* line = yuy2 + stride * y;
      // Luma per pixel, neutral chroma for the pairs the block touches: a block edge
      // that splits a pair leaves that pair grey-neutral either way.
      for (int x = x0; x < x1; ++x) {
        line[static_cast<size_t>(x) * 2] = luma;
        line[static_cast<size_t>(x) * 2 + 1] = 128;
      }
    }
  }
  return true;
}

std::optional<FrameStamp> ReadFrameStamp(const uint8_t* yuy2, int width, int height) {
  if (!yuy2 || width <= 0 || height <= 0) return std::nullopt;
  const FrameLayout layout{VideoSubtype::kYuy2, width, height, false};
  return ReadFrameStamp(FrameView(layout, yuy2, FrameBytes(layout)), kDesignAtOrigin);
}

std::optional<FrameStamp> ReadFrameStamp(const FrameView& picture, const PictureRect& design) {
  if (!picture.valid() || !StripFits(design, picture.layout().width, picture.layout().height)) return std::nullopt;
  Bits bits{};
  for (int bit = 0; bit < kBitCount; ++bit) {
    // The centre pixel of each block decides; the threshold halves black and white.
    const int x = MapX(design, 2 * ((bit % kStampColumns) * kStampBlockSize + kStampBlockSize / 2) + 1);
    const int y = MapY(design, 2 * ((bit / kStampColumns) * kStampBlockSize + kStampBlockSize / 2) + 1);
    bits[bit] = picture.Luma(x, y) >= 128;
  }
  int at = 0;
  if (TakeBits(bits, at, 16) != kMarker) return std::nullopt;
  FrameStamp stamp;
  stamp.counter = static_cast<uint32_t>(TakeBits(bits, at, 32));
  stamp.send_time = TakeBits(bits, at, 64);
  if (TakeBits(bits, at, 16) != CheckWord(stamp.counter, stamp.send_time)) return std::nullopt;
  return stamp;
}

}  // namespace veltrano::tools
