// The row kernels in SSE2, byte for byte equal to the plain ones. Unaligned loads and
// stores throughout; the last samples of a row that do not fill a vector go through
// the plain kernels.
#include "imaging/row_kernels.h"

#if VELTRANO_IMAGING_SSE2

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

// The helpers below are small and called per vector; GCC leaves some of them out of
// line at -O2, which costs a third of the time in the filters.
#if defined(_MSC_VER)
#define VELTRANO_INLINE __forceinline
#else
#define VELTRANO_INLINE inline __attribute__((always_inline))
#endif

namespace veltrano::imaging {
namespace {

// A constant the optimiser must not look into: GCC rewrites products by known
// constants into shift-and-add chains, four times the instructions of one pmullw.
VELTRANO_INLINE __m128i Opaque(__m128i value) noexcept {
#if defined(__GNUC__)
  __asm__("" : "+x"(value));
#endif
  return value;
}

VELTRANO_INLINE __m128i Load(const uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
VELTRANO_INLINE __m128i Load8(const uint8_t* p) noexcept {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
VELTRANO_INLINE __m128i LoadWords(const int16_t* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
VELTRANO_INLINE void Store(uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The even and the odd bytes of a and b (32 bytes), each as 16 bytes.
VELTRANO_INLINE __m128i EvenBytes(__m128i a, __m128i b) noexcept {
  const __m128i low = _mm_set1_epi16(0x00FF);
  return _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
}
VELTRANO_INLINE __m128i OddBytes(__m128i a, __m128i b) noexcept {
  return _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}
// The rounded average of neighbouring bytes 2i and 2i + 1 of a and b.
VELTRANO_INLINE __m128i HalveBytes(__m128i a, __m128i b) noexcept { return _mm_avg_epu8(EvenBytes(a, b), OddBytes(a, b)); }

const RowKernels& Plain() noexcept { return PlainRowKernels(); }

void SplitYuy2(const uint8_t* yuy2, int32_t pairs, uint8_t* y, uint8_t* uv) noexcept {
  int32_t i = 0;
  for (; i + 8 <= pairs; i += 8) {
    const __m128i a = Load(yuy2 + 4 * i), b = Load(yuy2 + 4 * i + 16);
    Store(y + 2 * i, EvenBytes(a, b));
    Store(uv + 2 * i, OddBytes(a, b));
  }
  Plain().split_yuy2(yuy2 + 4 * i, pairs - i, y + 2 * i, uv + 2 * i);
}

// Of 16 U V pairs (a, b), the rounded average of pairs 2k and 2k + 1, k < 8. Each
// 32-bit lane averages its two pairs into its low half; the halves are then packed,
// offset by 0x8000 so that the signed pack keeps every value.
VELTRANO_INLINE __m128i HalvePairs(__m128i a, __m128i b) noexcept {
  const __m128i low = _mm_set1_epi32(0xFFFF), offset = _mm_set1_epi32(0x8000);
  const __m128i x = _mm_sub_epi32(_mm_and_si128(_mm_avg_epu8(a, _mm_srli_epi32(a, 16)), low), offset);
  const __m128i z = _mm_sub_epi32(_mm_and_si128(_mm_avg_epu8(b, _mm_srli_epi32(b, 16)), low), offset);
  return _mm_add_epi16(_mm_packs_epi32(x, z), _mm_set1_epi16(-0x8000));
}

// 128 YUY2 bytes (l) to 32 Y and 16 U V pairs, halved across.
VELTRANO_INLINE void HalveBlock(const __m128i* l, uint8_t* y, uint8_t* uv) noexcept {
  Store(y, HalveBytes(EvenBytes(l[0], l[1]), EvenBytes(l[2], l[3])));
  Store(y + 16, HalveBytes(EvenBytes(l[4], l[5]), EvenBytes(l[6], l[7])));
  Store(uv, HalvePairs(OddBytes(l[0], l[1]), OddBytes(l[2], l[3])));
  Store(uv + 16, HalvePairs(OddBytes(l[4], l[5]), OddBytes(l[6], l[7])));
}

void HalveYuy2(const uint8_t* yuy2, int32_t pairs, uint8_t* y, uint8_t* uv) noexcept {
  int32_t i = 0;
  for (; i + 16 <= pairs; i += 16) {
    __m128i l[8];
    for (int k = 0; k < 8; ++k) l[k] = Load(yuy2 + 8 * i + 16 * k);
    HalveBlock(l, y + 2 * i, uv + 2 * i);
  }
  Plain().halve_yuy2(yuy2 + 8 * i, pairs - i, y + 2 * i, uv + 2 * i);
}

void HalveYuy2Rows(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y, uint8_t* uv) noexcept {
  int32_t i = 0;
  for (; i + 16 <= pairs; i += 16) {
    __m128i l[8];
    for (int k = 0; k < 8; ++k) l[k] = _mm_avg_epu8(Load(row0 + 8 * i + 16 * k), Load(row1 + 8 * i + 16 * k));
    HalveBlock(l, y + 2 * i, uv + 2 * i);
  }
  Plain().halve_yuy2_rows(row0 + 8 * i, row1 + 8 * i, pairs - i, y + 2 * i, uv + 2 * i);
}

// Eight pairs of two rows: both Y rows stored, the averaged U V pairs returned.
VELTRANO_INLINE __m128i Yuy2RowPair(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1) noexcept {
  const __m128i a0 = Load(row0), b0 = Load(row0 + 16);
  const __m128i a1 = Load(row1), b1 = Load(row1 + 16);
  Store(y0, EvenBytes(a0, b0));
  Store(y1, EvenBytes(a1, b1));
  return OddBytes(_mm_avg_epu8(a0, a1), _mm_avg_epu8(b0, b1));  // averaging first spares a pack
}

void Yuy2ToNv12(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y0, uint8_t* y1,
                uint8_t* uv) noexcept {
  int32_t i = 0;
  for (; i + 8 <= pairs; i += 8) Store(uv + 2 * i, Yuy2RowPair(row0 + 4 * i, row1 + 4 * i, y0 + 2 * i, y1 + 2 * i));
  Plain().yuy2_to_nv12(row0 + 4 * i, row1 + 4 * i, pairs - i, y0 + 2 * i, y1 + 2 * i, uv + 2 * i);
}

void Yuy2ToI420(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y0, uint8_t* y1,
                uint8_t* u, uint8_t* v) noexcept {
  int32_t i = 0;
  for (; i + 16 <= pairs; i += 16) {
    const __m128i uv0 = Yuy2RowPair(row0 + 4 * i, row1 + 4 * i, y0 + 2 * i, y1 + 2 * i);
    const __m128i uv1 = Yuy2RowPair(row0 + 4 * i + 32, row1 + 4 * i + 32, y0 + 2 * i + 16, y1 + 2 * i + 16);
    Store(u + i, EvenBytes(uv0, uv1));
    Store(v + i, OddBytes(uv0, uv1));
  }
  Plain().yuy2_to_i420(row0 + 4 * i, row1 + 4 * i, pairs - i, y0 + 2 * i, y1 + 2 * i, u + i, v + i);
}

void PackYuy2(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* yuy2) noexcept {
  int32_t i = 0;
  for (; i + 8 <= pairs; i += 8) {
    const __m128i luma = Load(y + 2 * i), chroma = Load(uv + 2 * i);
    Store(yuy2 + 4 * i, _mm_unpacklo_epi8(luma, chroma));
    Store(yuy2 + 4 * i + 16, _mm_unpackhi_epi8(luma, chroma));
  }
  Plain().pack_yuy2(y + 2 * i, uv + 2 * i, pairs - i, yuy2 + 4 * i);
}

void SplitUv(const uint8_t* uv, int32_t count, uint8_t* u, uint8_t* v) noexcept {
  int32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m128i a = Load(uv + 2 * i), b = Load(uv + 2 * i + 16);
    Store(u + i, EvenBytes(a, b));
    Store(v + i, OddBytes(a, b));
  }
  Plain().split_uv(uv + 2 * i, count - i, u + i, v + i);
}

void AverageRows(const uint8_t* a, const uint8_t* b, int32_t count, uint8_t* out) noexcept {
  int32_t i = 0;
  for (; i + 16 <= count; i += 16) Store(out + i, _mm_avg_epu8(Load(a + i), Load(b + i)));
  Plain().average_rows(a + i, b + i, count - i, out + i);
}

// B, G and R of 16 pixels (8 pairs) as bytes. The products of the plain rule do not
// fit 16 bits; split as 298 = 256 + 42, 516 = 512 + 4, -208 = -256 + 48 and
// 409 = 256 + 153, the whole multiples of 256 leave the shift exactly:
//   B = Y' + 2D + ((42 Y' + 4 D + 128) >> 8)
//   G = Y' - E + ((42 Y' - 100 D + 48 E + 128) >> 8)
//   R = Y' + E + ((42 Y' + 153 E + 128) >> 8)
// with Y' = Y - 16, every intermediate within 16 bits (at most 29597 in magnitude),
// and packus doing the clamp.
struct Bgr {
  __m128i b, g, r;
};

// One channel of 8 pixels: whole + ((y42 + round) >> 8), the pair terms per pixel.
VELTRANO_INLINE __m128i Channel(__m128i yp, __m128i y42, __m128i whole, __m128i round) noexcept {
  return _mm_add_epi16(_mm_add_epi16(yp, whole), _mm_srai_epi16(_mm_add_epi16(y42, round), 8));
}

// The multipliers of the YUV to RGB split, in registers for a whole row.
struct RgbFactors {
  __m128i luma42, minus100, plus48, plus153;
};

RgbFactors MakeRgbFactors() noexcept {
  return {Opaque(_mm_set1_epi16(42)), Opaque(_mm_set1_epi16(-100)), Opaque(_mm_set1_epi16(48)),
          Opaque(_mm_set1_epi16(153))};
}

// B, G and R of 8 pixels as 16-bit values: yp their luma less 16, d and e their
// pairs' U and V less 128, each pair's value twice.
VELTRANO_INLINE Bgr YuvToBgr8(__m128i yp, __m128i d, __m128i e, const RgbFactors& f) noexcept {
  const __m128i half = _mm_set1_epi16(128);
  const __m128i y42 = _mm_mullo_epi16(yp, f.luma42);
  const __m128i round_g = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(d, f.minus100), _mm_mullo_epi16(e, f.plus48)), half);
  return {Channel(yp, y42, _mm_slli_epi16(d, 1), _mm_add_epi16(_mm_slli_epi16(d, 2), half)),
          Channel(yp, y42, _mm_sub_epi16(_mm_setzero_si128(), e), round_g),
          Channel(yp, y42, e, _mm_add_epi16(_mm_mullo_epi16(e, f.plus153), half))};
}

VELTRANO_INLINE Bgr YuvToBgr16(const uint8_t* y, const uint8_t* uv, const RgbFactors& f) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi16(128);
  const __m128i sixteen = _mm_set1_epi16(16);
  const __m128i chroma = Load(uv);
  const __m128i d = _mm_sub_epi16(_mm_and_si128(chroma, _mm_set1_epi16(0x00FF)), half);
  const __m128i e = _mm_sub_epi16(_mm_srli_epi16(chroma, 8), half);
  const __m128i luma = Load(y);
  const Bgr low = YuvToBgr8(_mm_sub_epi16(_mm_unpacklo_epi8(luma, zero), sixteen), _mm_unpacklo_epi16(d, d),
                            _mm_unpacklo_epi16(e, e), f);
  const Bgr high = YuvToBgr8(_mm_sub_epi16(_mm_unpackhi_epi8(luma, zero), sixteen), _mm_unpackhi_epi16(d, d),
                             _mm_unpackhi_epi16(e, e), f);
  return {_mm_packus_epi16(low.b, high.b), _mm_packus_epi16(low.g, high.g), _mm_packus_epi16(low.r, high.r)};
}

// Four B G R X pixels as B G R, 12 bytes: each 64-bit half's two pixels become 6
// bytes, stored with 8-byte stores at target and target + 6. The second store runs 2
// bytes past the 12, into bytes a later store rewrites; `last` writes exactly 12.
VELTRANO_INLINE void StoreBgr12(uint8_t* target, __m128i bgrx, bool last) noexcept {
  const __m128i first = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i second = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFF000000u), 0x0000FFFF,
                                       static_cast<int>(0xFF000000u));
  const __m128i halves = _mm_or_si128(_mm_and_si128(bgrx, first), _mm_and_si128(_mm_srli_epi64(bgrx, 8), second));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(target), halves);
  if (!last) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(target + 6), _mm_unpackhi_epi64(halves, halves));
    return;
  }
  uint8_t block[16];
  Store(block, halves);
  std::memcpy(target + 6, block + 8, 6);
}

template <int kBytesPerPixel>
void YuvToRgb(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* out) noexcept {
  const __m128i opaque = _mm_set1_epi8(-1);
  const RgbFactors factors = MakeRgbFactors();
  int32_t i = 0;
  for (; i + 8 <= pairs; i += 8) {
    const Bgr bgr = YuvToBgr16(y + 2 * i, uv + 2 * i, factors);
    const __m128i bg_low = _mm_unpacklo_epi8(bgr.b, bgr.g), bg_high = _mm_unpackhi_epi8(bgr.b, bgr.g);
    const __m128i rx_low = _mm_unpacklo_epi8(bgr.r, opaque), rx_high = _mm_unpackhi_epi8(bgr.r, opaque);
    const __m128i p0 = _mm_unpacklo_epi16(bg_low, rx_low), p1 = _mm_unpackhi_epi16(bg_low, rx_low);
    const __m128i p2 = _mm_unpacklo_epi16(bg_high, rx_high), p3 = _mm_unpackhi_epi16(bg_high, rx_high);
    uint8_t* target = out + kBytesPerPixel * 2 * i;
    if constexpr (kBytesPerPixel == 4) {
      Store(target, p0);
      Store(target + 16, p1);
      Store(target + 32, p2);
      Store(target + 48, p3);
    } else {
      StoreBgr12(target, p0, false);
      StoreBgr12(target + 12, p1, false);
      StoreBgr12(target + 24, p2, false);
      StoreBgr12(target + 36, p3, i + 8 == pairs);  // no pair after this block to take the overrun
    }
  }
  const RowKernels& plain = Plain();
  (kBytesPerPixel == 4 ? plain.yuv_to_rgb32 : plain.yuv_to_rgb24)(y + 2 * i, uv + 2 * i, pairs - i,
                                                                  out + kBytesPerPixel * 2 * i);
}

// Accumulates weight x the 16 bytes at p into two 16-bit halves. The sums of a filter
// stay below 65536 (255 x 256 + 128), so wrapping 16-bit products hold them exactly.
VELTRANO_INLINE void Accumulate(__m128i p, __m128i weight, __m128i& low, __m128i& high) noexcept {
  const __m128i zero = _mm_setzero_si128();
  low = _mm_add_epi16(low, _mm_mullo_epi16(_mm_unpacklo_epi8(p, zero), weight));
  high = _mm_add_epi16(high, _mm_mullo_epi16(_mm_unpackhi_epi8(p, zero), weight));
}

VELTRANO_INLINE __m128i Finish(__m128i low, __m128i high) noexcept {
  return _mm_packus_epi16(_mm_srli_epi16(low, 8), _mm_srli_epi16(high, 8));
}

void FilterVertical(const uint8_t* const* rows, const int16_t* weights, int32_t taps, int32_t width,
                    uint8_t* out) noexcept {
  // Weights 256 and 0 copy a row; 128 and 128 are exactly the rounded average.
  if (taps == 1 || (taps == 2 && (weights[0] == 0 || weights[1] == 0))) {
    std::memcpy(out, rows[taps == 2 && weights[0] == 0 ? 1 : 0], static_cast<size_t>(width));
    return;
  }
  if (taps == 2 && weights[0] == 128) {
    AverageRows(rows[0], rows[1], width, out);
    return;
  }
  const __m128i round = _mm_set1_epi16(128);
  int32_t x = 0;
  if (taps == 2) {
    const __m128i w0 = _mm_set1_epi16(weights[0]), w1 = _mm_set1_epi16(weights[1]);
    for (; x + 16 <= width; x += 16) {
      __m128i low = round, high = round;
      Accumulate(Load(rows[0] + x), w0, low, high);
      Accumulate(Load(rows[1] + x), w1, low, high);
      Store(out + x, Finish(low, high));
    }
  } else {
    for (; x + 16 <= width; x += 16) {
      __m128i low = round, high = round;
      for (int32_t k = 0; k < taps; ++k) Accumulate(Load(rows[k] + x), _mm_set1_epi16(weights[k]), low, high);
      Store(out + x, Finish(low, high));
    }
  }
  for (; x < width; ++x) {
    int sum = 128;
    for (int32_t k = 0; k < taps; ++k) sum += weights[k] * rows[k][x];
    out[x] = static_cast<uint8_t>(sum >> 8);
  }
}

// With w the smaller weight, (256 - w) a + w b = 256 a + w (b - a), so each row is its
// nearer sample plus ((w (b - a) + 128) >> 8) or ((128 - w (b - a)) >> 8): one product
// for both rows, within 16 bits for w below 128.
void FilterVerticalMirrored(const uint8_t* a, const uint8_t* b, int32_t weight, int32_t width, uint8_t* out_a,
                            uint8_t* out_b) noexcept {
  const __m128i w = _mm_set1_epi16(static_cast<int16_t>(weight)), round = _mm_set1_epi16(128);
  const __m128i zero = _mm_setzero_si128();
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i pa = Load(a + x), pb = Load(b + x);
    const __m128i a0 = _mm_unpacklo_epi8(pa, zero), a1 = _mm_unpackhi_epi8(pa, zero);
    const __m128i b0 = _mm_unpacklo_epi8(pb, zero), b1 = _mm_unpackhi_epi8(pb, zero);
    const __m128i t0 = _mm_mullo_epi16(_mm_sub_epi16(b0, a0), w), t1 = _mm_mullo_epi16(_mm_sub_epi16(b1, a1), w);
    Store(out_a + x, _mm_packus_epi16(_mm_add_epi16(a0, _mm_srai_epi16(_mm_add_epi16(t0, round), 8)),
                                      _mm_add_epi16(a1, _mm_srai_epi16(_mm_add_epi16(t1, round), 8))));
    Store(out_b + x, _mm_packus_epi16(_mm_add_epi16(b0, _mm_srai_epi16(_mm_sub_epi16(round, t0), 8)),
                                      _mm_add_epi16(b1, _mm_srai_epi16(_mm_sub_epi16(round, t1), 8))));
  }
  Plain().filter_vertical_mirrored(a + x, b + x, weight, width - x, out_a + x, out_b + x);
}

// The horizontal filter works on the strip transposed: each byte column of the eight
// YUY2 rows becomes 8 contiguous bytes, so a target column is a weighted sum of whole
// source columns and no sample has to be gathered on its own. One transposition
// serves Y, U and V.

// Rows 0..7, bytes c..c+15 (r) -> byte columns c..c+15 of 8 bytes each at t + 8c.
VELTRANO_INLINE void TransposeIn(const __m128i* r, uint8_t* t) noexcept {
  const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]), a1 = _mm_unpackhi_epi8(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi8(r[2], r[3]), a3 = _mm_unpackhi_epi8(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi8(r[4], r[5]), a5 = _mm_unpackhi_epi8(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi8(r[6], r[7]), a7 = _mm_unpackhi_epi8(r[6], r[7]);
  // Four columns of rows 0..3 (b0..b3) or 4..7 (b4..b7) each.
  const __m128i b0 = _mm_unpacklo_epi16(a0, a2), b1 = _mm_unpackhi_epi16(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi16(a1, a3), b3 = _mm_unpackhi_epi16(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi16(a4, a6), b5 = _mm_unpackhi_epi16(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi16(a5, a7), b7 = _mm_unpackhi_epi16(a5, a7);
  Store(t, _mm_unpacklo_epi32(b0, b4));
  Store(t + 16, _mm_unpackhi_epi32(b0, b4));
  Store(t + 32, _mm_unpacklo_epi32(b1, b5));
  Store(t + 48, _mm_unpackhi_epi32(b1, b5));
  Store(t + 64, _mm_unpacklo_epi32(b2, b6));
  Store(t + 80, _mm_unpackhi_epi32(b2, b6));
  Store(t + 96, _mm_unpacklo_epi32(b3, b7));
  Store(t + 112, _mm_unpackhi_epi32(b3, b7));
}

// columns[k] holds target columns 2k (low half) and 2k + 1 (high half) of rows 0..7;
// writes them as 16 bytes of each row.
VELTRANO_INLINE void TransposeOut(const __m128i* columns, uint8_t* const* rows, int32_t x) noexcept {
  const __m128i a0 = _mm_unpacklo_epi8(columns[0], columns[1]), a1 = _mm_unpackhi_epi8(columns[0], columns[1]);
  const __m128i a2 = _mm_unpacklo_epi8(columns[2], columns[3]), a3 = _mm_unpackhi_epi8(columns[2], columns[3]);
  const __m128i a4 = _mm_unpacklo_epi8(columns[4], columns[5]), a5 = _mm_unpackhi_epi8(columns[4], columns[5]);
  const __m128i a6 = _mm_unpacklo_epi8(columns[6], columns[7]), a7 = _mm_unpackhi_epi8(columns[6], columns[7]);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a2), b1 = _mm_unpackhi_epi16(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi16(a1, a3), b3 = _mm_unpackhi_epi16(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi16(a4, a6), b5 = _mm_unpackhi_epi16(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi16(a5, a7), b7 = _mm_unpackhi_epi16(a5, a7);
  // Even target columns of two rows each (e), then the odd ones (o).
  const __m128i e0 = _mm_unpacklo_epi32(b0, b4), e1 = _mm_unpackhi_epi32(b0, b4);
  const __m128i e2 = _mm_unpacklo_epi32(b1, b5), e3 = _mm_unpackhi_epi32(b1, b5);
  const __m128i o0 = _mm_unpacklo_epi32(b2, b6), o1 = _mm_unpackhi_epi32(b2, b6);
  const __m128i o2 = _mm_unpacklo_epi32(b3, b7), o3 = _mm_unpackhi_epi32(b3, b7);
  Store(rows[0] + x, _mm_unpacklo_epi8(e0, o0));
  Store(rows[1] + x, _mm_unpackhi_epi8(e0, o0));
  Store(rows[2] + x, _mm_unpacklo_epi8(e1, o1));
  Store(rows[3] + x, _mm_unpackhi_epi8(e1, o1));
  Store(rows[4] + x, _mm_unpacklo_epi8(e2, o2));
  Store(rows[5] + x, _mm_unpackhi_epi8(e2, o2));
  Store(rows[6] + x, _mm_unpacklo_epi8(e3, o3));
  Store(rows[7] + x, _mm_unpackhi_epi8(e3, o3));
}

// The weighted sum of target entry x over byte columns kStep apart, starting kStep x
// start columns after `t` (Y: step 2 from column 0; U and V: step 4 from columns 1
// and 3), as 8 rows of 16-bit values.
template <int32_t kTaps, int32_t kStep>
VELTRANO_INLINE __m128i TargetColumn(const uint8_t* t, const ScalingFilter& filter, int32_t x) noexcept {
  const int32_t taps = kTaps ? kTaps : filter.taps;
  const uint8_t* column = t + 8 * kStep * filter.start[x];
  const int16_t* lanes = &filter.lanes[static_cast<size_t>(x) * taps * 8];
  __m128i sum = _mm_set1_epi16(128);
  for (int32_t k = 0; k < taps; ++k) {
    const __m128i samples = _mm_unpacklo_epi8(Load8(column + 8 * kStep * k), _mm_setzero_si128());
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(samples, LoadWords(lanes + 8 * k)));
  }
  return _mm_srli_epi16(sum, 8);
}

// Writes the 16-byte block at x of each row from its 8 column pairs; the last,
// partial block goes through a local block so that only the row's bytes are written.
VELTRANO_INLINE void WriteBlock(const __m128i* columns, uint8_t* const* out, int32_t x, int32_t width) noexcept {
  if (x + 16 <= width) {
    TransposeOut(columns, out, x);
    return;
  }
  uint8_t block[kStripRows][16];
  uint8_t* block_rows[kStripRows];
  for (int32_t r = 0; r < kStripRows; ++r) block_rows[r] = block[r];
  TransposeOut(columns, block_rows, 0);
  for (int32_t r = 0; r < kStripRows; ++r) std::memcpy(out[r] + x, block[r], static_cast<size_t>(width - x));
}

template <int32_t kTaps>
void FilterLuma(const uint8_t* t, const ScalingFilter& filter, int32_t width, uint8_t* const* out) noexcept {
  for (int32_t x = 0; x < width; x += 16) {
    __m128i columns[8];
    for (int32_t k = 0; k < 8; ++k) {
      columns[k] = _mm_packus_epi16(TargetColumn<kTaps, 2>(t, filter, x + 2 * k),
                                    TargetColumn<kTaps, 2>(t, filter, x + 2 * k + 1));
    }
    WriteBlock(columns, out, x, width);
  }
}

// U V pairs: each column pair is a U column and the V column of the same entry.
template <int32_t kTaps>
void FilterChroma(const uint8_t* t, const ScalingFilter& filter, int32_t pairs, uint8_t* const* out) noexcept {
  for (int32_t k0 = 0; k0 < pairs; k0 += 8) {
    __m128i columns[8];
    for (int32_t k = 0; k < 8; ++k) {
      columns[k] = _mm_packus_epi16(TargetColumn<kTaps, 4>(t + 8, filter, k0 + k),
                                    TargetColumn<kTaps, 4>(t + 24, filter, k0 + k));
    }
    WriteBlock(columns, out, 2 * k0, 2 * pairs);
  }
}

// An enlargement by exactly 3/2 (ScalingFilter::three_halves) needs no tables: a pair
// of source samples e, o and the next sample n give the pair's middle target, the
// average of e and o, and the two targets between o and n, both of which weigh the
// nearer sample 213 and the farther 43. Written as
//   (213 o + 43 n + 128) >> 8 = o + ((43 (n - o) + 128) >> 8)
//   (43 o + 213 n + 128) >> 8 = n + ((128 - 43 (n - o)) >> 8)
// (256 o and 256 n leave the shift whole, and the products stay within 16 bits), they
// share one product, and the average is pavgw's rounding exactly.
struct ThreeHalvesWeights {
  __m128i w43, round;
};

struct Thirds {
  __m128i middle;  // between e and o
  __m128i after;   // o weighed 213, n 43
  __m128i next;    // o weighed 43, n 213: the first target of the next pair
};

VELTRANO_INLINE Thirds ThreeHalves(__m128i e, __m128i o, __m128i n, const ThreeHalvesWeights& w) noexcept {
  const __m128i product = _mm_mullo_epi16(_mm_sub_epi16(n, o), w.w43);
  return {_mm_avg_epu16(e, o), _mm_add_epi16(o, _mm_srai_epi16(_mm_add_epi16(product, w.round), 8)),
          _mm_add_epi16(n, _mm_srai_epi16(_mm_sub_epi16(w.round, product), 8))};
}

// Byte column c of the transposed strip as 8 rows of 16-bit values.
VELTRANO_INLINE __m128i Column(const uint8_t* t, int32_t c) noexcept {
  return _mm_unpacklo_epi8(Load8(t + 8 * c), _mm_setzero_si128());
}

// 16 source pairs make 48 target bytes of a Y row and of a U V row: three blocks of
// 8 column pairs each.
constexpr int32_t kThreeHalvesGroup = 16;

// Writes the group of column pairs starting at target byte x; a short last group
// leaves its unused column pairs zero.
VELTRANO_INLINE void WriteGroup(const __m128i* columns, uint8_t* const* out, int32_t x, int32_t width) noexcept {
  for (int32_t b = 0; b < 3 && x + 16 * b < width; ++b) WriteBlock(columns + 8 * b, out, x + 16 * b, width);
}

// Y: sample s is column 2s. Target 3k is carried from pair k - 1 (pair 0's is its
// first sample), and the last pair's next sample is its own second one.
void ThreeHalvesLuma(const uint8_t* t, int32_t source_pairs, uint8_t* const* out) noexcept {
  const ThreeHalvesWeights w = {Opaque(_mm_set1_epi16(43)), _mm_set1_epi16(128)};
  const int32_t width = 3 * source_pairs;
  __m128i e = Column(t, 0);
  __m128i first = e;
  for (int32_t k0 = 0; k0 < source_pairs; k0 += kThreeHalvesGroup) {
    __m128i columns[24];
    const int32_t end = std::min(k0 + kThreeHalvesGroup, source_pairs);
    if (end - k0 < kThreeHalvesGroup) {
      for (__m128i& column : columns) column = _mm_setzero_si128();
    }
    __m128i* c = columns;
    for (int32_t k = k0; k < end; k += 2, c += 3) {  // source_pairs is even
      const __m128i o0 = Column(t, 4 * k + 2), e1 = Column(t, 4 * k + 4), o1 = Column(t, 4 * k + 6);
      const __m128i e2 = k + 2 < source_pairs ? Column(t, 4 * k + 8) : o1;
      const Thirds a = ThreeHalves(e, o0, e1, w), b = ThreeHalves(e1, o1, e2, w);
      c[0] = _mm_packus_epi16(first, a.middle);
      c[1] = _mm_packus_epi16(a.after, a.next);
      c[2] = _mm_packus_epi16(b.middle, b.after);
      first = b.next;
      e = e2;
    }
    WriteGroup(columns, out, 3 * k0, width);
  }
}

// U V pairs: chroma sample j (one per source pair) is column 4j + 1 for U and
// 4j + 3 for V; target pairs 3m .. 3m + 2 come from samples 2m and 2m + 1.
void ThreeHalvesChroma(const uint8_t* t, int32_t source_pairs, uint8_t* const* out) noexcept {
  const ThreeHalvesWeights w = {Opaque(_mm_set1_epi16(43)), _mm_set1_epi16(128)};
  const int32_t width = 3 * source_pairs;
  __m128i eu = Column(t, 1), ev = Column(t, 3);
  __m128i first_u = eu, first_v = ev;
  for (int32_t j0 = 0; j0 < source_pairs; j0 += kThreeHalvesGroup) {
    __m128i columns[24];
    const int32_t end = std::min(j0 + kThreeHalvesGroup, source_pairs);
    if (end - j0 < kThreeHalvesGroup) {
      for (__m128i& column : columns) column = _mm_setzero_si128();
    }
    __m128i* c = columns;
    for (int32_t j = j0; j < end; j += 2, c += 3) {
      const __m128i ou = Column(t, 4 * j + 5), ov = Column(t, 4 * j + 7);
      const bool last = j + 2 >= source_pairs;
      const __m128i nu = last ? ou : Column(t, 4 * j + 9), nv = last ? ov : Column(t, 4 * j + 11);
      const Thirds u = ThreeHalves(eu, ou, nu, w), v = ThreeHalves(ev, ov, nv, w);
      c[0] = _mm_packus_epi16(first_u, first_v);
      c[1] = _mm_packus_epi16(u.middle, v.middle);
      c[2] = _mm_packus_epi16(u.after, v.after);
      first_u = u.next;
      first_v = v.next;
      eu = nu;
      ev = nv;
    }
    WriteGroup(columns, out, 3 * j0, width);
  }
}

void FilterHorizontal(const HorizontalJob& job) noexcept {
  const int32_t row_bytes = 4 * job.source_pairs;
  uint8_t* t = job.scratch;
  int32_t c = 0;
  // The row pointers as locals: read through the job inside the loop, GCC reloads
  // each of them for every block.
  const uint8_t *const r0 = job.rows[0], *const r1 = job.rows[1], *const r2 = job.rows[2], *const r3 = job.rows[3];
  const uint8_t *const r4 = job.rows[4], *const r5 = job.rows[5], *const r6 = job.rows[6], *const r7 = job.rows[7];
  for (; c + 16 <= row_bytes; c += 16) {
    const __m128i r[kStripRows] = {Load(r0 + c), Load(r1 + c), Load(r2 + c), Load(r3 + c),
                                   Load(r4 + c), Load(r5 + c), Load(r6 + c), Load(r7 + c)};
    TransposeIn(r, t + 8 * c);
  }
  if (c < row_bytes) {  // a row's last bytes, read no further than the row
    __m128i r[kStripRows];
    for (int32_t k = 0; k < kStripRows; ++k) {
      uint8_t block[16] = {};
      std::memcpy(block, job.rows[k] + c, static_cast<size_t>(row_bytes - c));
      r[k] = Load(block);
    }
    TransposeIn(r, t + 8 * c);
  }
  if (job.luma->three_halves) {
    ThreeHalvesLuma(t, job.source_pairs, job.y);
  } else if (job.luma->taps == 2) {
    FilterLuma<2>(t, *job.luma, 2 * job.pairs, job.y);
  } else {
    FilterLuma<0>(t, *job.luma, 2 * job.pairs, job.y);
  }
  if (job.chroma->three_halves) {
    ThreeHalvesChroma(t, job.source_pairs, job.uv);
  } else if (job.chroma->taps == 2) {
    FilterChroma<2>(t, *job.chroma, job.pairs, job.uv);
  } else {
    FilterChroma<0>(t, *job.chroma, job.pairs, job.uv);
  }
}

constexpr RowKernels kSse2Kernels = {
    SplitYuy2,   HalveYuy2,   HalveYuy2Rows, Yuy2ToNv12,     Yuy2ToI420,       PackYuy2, SplitUv,
    AverageRows, YuvToRgb<3>, YuvToRgb<4>,   FilterVertical, FilterVerticalMirrored, FilterHorizontal,
};

}  // namespace

const RowKernels* Sse2RowKernels() noexcept { return &kSse2Kernels; }

}  // namespace veltrano::imaging

#else  // no SSE2 in this build

namespace veltrano::imaging {

const RowKernels* Sse2RowKernels() noexcept { return nullptr; }

}  // namespace veltrano::imaging

#endif
