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

bool FitsStrip(int width, int height) { return width >= kStampWidth && height >= kStampHeight; }

}  // namespace

bool WriteFrameStamp(uint8_t* yuy2, int width, int height, const FrameStamp& stamp) {
  if (!yuy2 || !FitsStrip(width, height)) return false;
  Bits bits{};
  int at = 0;
  PutBits(bits, at, kMarker, 16);
  PutBits(bits, at, stamp.counter, 32);
  PutBits(bits, at, stamp.send_time, 64);
  PutBits(bits, at, CheckWord(stamp.counter, stamp.send_time), 16);

  const size_t stride = static_cast<size_t>(width) * 2;
  for (int y = 0; y < kStampHeight; ++y) {
    uint8_t* row = yuy2 + stride * y;
    for (int x = 0; x < kStampWidth; x += 2) {
      const int bit = (y / kStampBlockSize) * kStampColumns + x / kStampBlockSize;
      const uint8_t luma = bits[bit] ? kWhiteY : kBlackY;
      uint8_t* pair = row + x * 2;
      pair[0] = luma;
      pair[1] = 128;
      pair[2] = luma;
      pair[3] = 128;
    }
  }
  return true;
}

std::optional<FrameStamp> ReadFrameStamp(const uint8_t* yuy2, int width, int height) {
  if (!yuy2 || !FitsStrip(width, height)) return std::nullopt;
  const size_t stride = static_cast<size_t>(width) * 2;
  Bits bits{};
  for (int bit = 0; bit < kBitCount; ++bit) {
    // The centre pixel of each block decides; the threshold halves black and white.
    const int x = (bit % kStampColumns) * kStampBlockSize + kStampBlockSize / 2;
    const int y = (bit / kStampColumns) * kStampBlockSize + kStampBlockSize / 2;
    bits[bit] = yuy2[stride * y + static_cast<size_t>(x) * 2] >= 128;
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
