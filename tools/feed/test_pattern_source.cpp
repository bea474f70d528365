#include "tools/feed/test_pattern_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/common/colour_conversion.h"
#include "tools/common/frame_stamp.h"

namespace veltrano::tools {
namespace {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kTextScale = 5;
constexpr int kMarkerSize = 80;
constexpr int kMarkerStep = 12;  // pixels per frame
constexpr int kCounterTop = 48;
constexpr int kTimeTop = 110;

struct Glyph {
  char character;
  uint8_t rows[kGlyphHeight];  // 5 bits per row, most significant bit leftmost
};

// A small 5 x 7 font with just the characters the pattern writes.
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
};

const Glyph* FindGlyph(char c) {
  for (const Glyph& glyph : kFont) {
    if (glyph.character == c) return &glyph;
  }
  return nullptr;
}

// Paints in design coordinates (the 1280 x 720 layout), which `design` places and
// scales in a frame of width x height. Pixel columns are rounded to pairs.
class Canvas {
 public:
  Canvas(uint8_t* frame, int width, int height, const PictureRect& design)
      : frame_(frame), width_(width), height_(height), design_(design) {}

  // Design rectangle [x0, x1) x [y0, y1).
  void Fill(int x0, int y0, int x1, int y1, Yuv colour) const {
    FillPixels(MapX(x0), MapY(y0), MapX(x1), MapY(y1), colour);
  }

  // White text on a black band, each font pixel a square of kTextScale design pixels.
  void Text(int left, int top, const char* text) const {
    const int advance = (kGlyphWidth + 1) * kTextScale;
    const int length = static_cast<int>(std::strlen(text));
    const Yuv black{16, 128, 128};
    const Yuv white{235, 128, 128};
    Fill(left - kTextScale * 2, top - kTextScale * 2, left + length * advance + kTextScale,
         top + kGlyphHeight * kTextScale + kTextScale * 2, black);
    for (int i = 0; i < length; ++i) {
      const Glyph* glyph = FindGlyph(text[i]);
      if (!glyph) continue;
      for (int row = 0; row < kGlyphHeight; ++row) {
        for (int column = 0; column < kGlyphWidth; ++column) {
          if (!(glyph->rows[row] & (0x10 >> column))) continue;
          const int x = left + i * advance + column * kTextScale;
          const int y = top + row * kTextScale;
          Fill(x, y, x + kTextScale, y + kTextScale, white);
        }
      }
    }
  }

 private:
  int MapX(int x) const {
    return design_.left + static_cast<int>(static_cast<int64_t>(x) * design_.width / kStampDesignWidth);
  }
  int MapY(int y) const {
    return design_.top + static_cast<int>(static_cast<int64_t>(y) * design_.height / kStampDesignHeight);
  }

  // Pixels [x0, x1) x [y0, y1) in one colour; x0 and x1 are rounded to pixel pairs.
  void FillPixels(int x0, int y0, int x1, int y1, Yuv colour) const {
    x0 = std::clamp(x0 & ~1, 0, width_);
    x1 = std::clamp((x1 + 1) & ~1, 0, width_);
    y0 = std::clamp(y0, 0, height_);
    y1 = std::clamp(y1, 0, height_);
    const size_t stride = static_cast<size_t>(width_) * 2;
    for (int y = y0; y < y1; ++y) {
      uint8_t* row = frame_ + static_cast<size_t>(y) * stride;
      for (int x = x0; x < x1; x += 2) {
        uint8_t* pair = row + x * 2;
        pair[0] = colour.y;
        pair[1] = colour.u;
        pair[2] = colour.y;
        pair[3] = colour.v;
      }
    }
  }

  uint8_t* frame_;
  int width_;
  int height_;
  PictureRect design_;
};

}  // namespace

TestPatternSource::TestPatternSource(int width, int height)
    : width_(width),
      height_(height),
      design_(FitRect(kStampDesignWidth, kStampDesignHeight, width, height)),
      background_(static_cast<size_t>(width) * height * 2) {
  // Black bars where the frame is not 16:9; 75% colour bars over two thirds of the
  // picture's height, a grey ramp below.
  const Yuv black{16, 128, 128};
  for (size_t i = 0; i < background_.size(); i += 4) {
    background_[i] = background_[i + 2] = black.y;
    background_[i + 1] = black.u;
    background_[i + 3] = black.v;
  }
  const Canvas picture(background_.data(), width_, height_, design_);
  static constexpr uint8_t kBars[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                          {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
  const int bar_bottom = kStampDesignHeight * 2 / 3;
  for (int bar = 0; bar < 7; ++bar) {
    const Yuv colour = RgbToYuv(kBars[bar][0], kBars[bar][1], kBars[bar][2]);
    picture.Fill(bar * kStampDesignWidth / 7, 0, (bar + 1) * kStampDesignWidth / 7, bar_bottom, colour);
  }
  const int steps = 16;
  for (int step = 0; step < steps; ++step) {
    const uint8_t level = static_cast<uint8_t>(step * 255 / (steps - 1));
    picture.Fill(step * kStampDesignWidth / steps, bar_bottom, (step + 1) * kStampDesignWidth / steps,
                 kStampDesignHeight, RgbToYuv(level, level, level));
  }
}

bool TestPatternSource::Render(uint64_t index, uint8_t* frame, std::wstring* error) {
  std::memcpy(frame, background_.data(), background_.size());
  const Canvas picture(frame, width_, height_, design_);
  // The marker bounces between the edges so that a frozen picture is obvious.
  const int travel = kStampDesignWidth - kMarkerSize;
  const int phase = static_cast<int>((index * kMarkerStep) % (2 * static_cast<uint64_t>(travel)));
  const int left = phase <= travel ? phase : 2 * travel - phase;
  const int top = kStampDesignHeight / 2 - kMarkerSize / 2 + 40;
  picture.Fill(left, top, left + kMarkerSize, top + kMarkerSize, Yuv{235, 128, 128});
  picture.Fill(left + 16, top + 16, left + kMarkerSize - 16, top + kMarkerSize - 16, Yuv{16, 128, 128});

  char text[32];
  std::snprintf(text, sizeof text, "FRAME %08llu", static_cast<unsigned long long>(index));
  picture.Text(24, kCounterTop, text);
  return true;
}

void TestPatternSource::Stamp(uint64_t index, uint64_t send_time, uint8_t* frame) {
  char text[32];
  const uint64_t milliseconds = send_time / 10000;
  std::snprintf(text, sizeof text, "SENT %07llu.%03llu", static_cast<unsigned long long>(milliseconds / 1000 % 10000000),
                static_cast<unsigned long long>(milliseconds % 1000));
  Canvas(frame, width_, height_, design_).Text(24, kTimeTop, text);
  // Frames too small for blocks of 2 pixels go without the strip.
  WriteFrameStamp(frame, width_, height_, design_, FrameStamp{static_cast<uint32_t>(index), send_time});
}

}  // namespace veltrano::tools
