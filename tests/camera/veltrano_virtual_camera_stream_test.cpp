// The camera pin: offered and accepted media types, buffer sizing, IAMStreamConfig,
// the pin category property, filling samples (with a real producer in this process
// through the producer exports), and the stop that flushes around the worker.
#include "camera/veltrano_virtual_camera_stream.h"

#include <dshow.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "VeltranoVirtualCamera.h"
#include "camera/capture_mode.h"
#include "camera/placeholder_frame.h"
#include "camera_fixture.h"
#include "common/com_test_helpers.h"
#include "common/forwarding_allocator.h"
#include "common/task_mem_spy.h"
#include "framework/media_type_record.h"
#include "platform/media_guids.h"

namespace veltrano::test {
namespace {

constexpr LONG kFrameBytes = 1843200;
constexpr REFERENCE_TIME kPeriod = 333333;

// The mode media type of 1280 x 720 YUY2 at 333333, written field by field.
struct ExpectedModeType {
  AM_MEDIA_TYPE type = {};
  VIDEOINFOHEADER info = {};
  ExpectedModeType() {
    info.AvgTimePerFrame = 333333;
    info.bmiHeader.biSize = 40;
    info.bmiHeader.biWidth = 1280;
    info.bmiHeader.biHeight = 720;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 16;
    info.bmiHeader.biCompression = 0x32595559;
    info.bmiHeader.biSizeImage = 1843200;
    type.majortype = MEDIATYPE_Video;
    type.subtype = MEDIASUBTYPE_YUY2;
    type.bFixedSizeSamples = TRUE;
    type.bTemporalCompression = FALSE;
    type.lSampleSize = 1843200;
    type.formattype = FORMAT_VideoInfo;
    type.cbFormat = 88;
    type.pbFormat = reinterpret_cast<BYTE*>(&info);
  }
};

// Owns a producer made through the exports, closed at the end of the scope.
class Producer {
 public:
  Producer(int32_t width, int32_t height, int32_t stride)
      : handle_(VeltranoVirtualCamera_CreateProducer(width, height, stride, 0x5eed)),
        stride_(stride),
        height_(height) {}
  ~Producer() { Close(); }
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;
  explicit operator bool() const { return handle_ != nullptr; }
  //! Publishes a frame of a pattern that depends on `seed`; returns its bytes.
  std::vector<uint8_t> Write(uint8_t seed) {
    std::vector<uint8_t> frame(static_cast<size_t>(stride_) * height_);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + seed + i / 4096);
    EXPECT_EQ(1, VeltranoVirtualCamera_WriteFrame(handle_, frame.data(), static_cast<uint32_t>(frame.size()), seed));
    return frame;
  }
  //! Publishes a frame whose every pixel is (y, u, v); the row padding is 0xEE.
  void WriteFlat(uint8_t y, uint8_t u, uint8_t v) {
    std::vector<uint8_t> frame(static_cast<size_t>(stride_) * height_, 0xEE);
    for (int32_t row = 0; row < height_; ++row) {
      for (int32_t x = 0; x + 4 <= stride_ && x < (stride_ / 4) * 4; x += 4) {
        uint8_t* group = &frame[static_cast<size_t>(row) * stride_ + x];
        group[0] = y, group[1] = u, group[2] = y, group[3] = v;
      }
    }
    EXPECT_EQ(1, VeltranoVirtualCamera_WriteFrame(handle_, frame.data(), static_cast<uint32_t>(frame.size()), 0));
  }
  void Close() {
    VeltranoVirtualCamera_CloseProducer(handle_);
    handle_ = nullptr;
  }

 private:
  VeltranoVirtualCameraProducer* handle_;
  int32_t stride_;
  int32_t height_;
};

std::vector<uint8_t> PlaceholderBytes() {
  std::vector<uint8_t> frame;
  EXPECT_TRUE(camera::DecodePlaceholderFrame(1280, 720, frame));
  return frame;
}

bool BytesEqual(const FakeSample& sample, const std::vector<uint8_t>& expected) {
  return std::memcmp(sample.data(), expected.data(), expected.size()) == 0;
}

bool AllBytes(const BYTE* data, size_t length, BYTE value) {
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != value) return false;
  }
  return true;
}

// ---- Offered and accepted media types -------------------------------------------

using CameraPinTypes = CameraFixture;

// Every size in every pixel format, the default first with today's exact bytes; in
// each format 1280 x 720 comes first, so that a peer that fixes only the subtype
// connects at the default size.
TEST_F(CameraPinTypes, OffersEveryModeWithTheDefaultFirst) {
  const ExpectedModeType expected;
  platform::ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(S_OK, pin_->EnumMediaTypes(types.put()));
  AM_MEDIA_TYPE* listed[40] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, types->Next(40, listed, &fetched));
  ASSERT_EQ(30u, fetched);
  EXPECT_TRUE(MediaTypesEqual(expected.type, *listed[0]));
  struct Layout {
    GUID subtype;
    WORD bits;
    DWORD compression;
  };
  const Layout layouts[] = {{MEDIASUBTYPE_YUY2, 16, 0x32595559},
                            {MEDIASUBTYPE_NV12, 12, 0x3231564E},
                            {platform::kMediaSubtypeI420, 12, 0x30323449},
                            {MEDIASUBTYPE_RGB24, 24, BI_RGB},
                            {MEDIASUBTYPE_RGB32, 32, BI_RGB}};
  const SIZE sizes[] = {{1280, 720}, {1920, 1080}, {960, 540}, {640, 480}, {640, 360}, {320, 240}};
  ULONG i = 0;
  for (const Layout& layout : layouts) {
    for (const SIZE& size : sizes) {
      SCOPED_TRACE(testing::Message() << "index " << i << ": " << size.cx << "x" << size.cy << " bits " << layout.bits);
      const int rgb_row = (size.cx * layout.bits / 8 + 3) / 4 * 4;
      const DWORD image = layout.bits == 12 ? size.cx * size.cy * 3 / 2 : rgb_row * size.cy;
      const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(listed[i]->pbFormat);
      EXPECT_EQ(layout.subtype, listed[i]->subtype);
      EXPECT_EQ(size.cx, info->bmiHeader.biWidth);
      EXPECT_EQ(size.cy, info->bmiHeader.biHeight);
      EXPECT_EQ(layout.bits, info->bmiHeader.biBitCount);
      EXPECT_EQ(layout.compression, info->bmiHeader.biCompression);
      EXPECT_EQ(image, info->bmiHeader.biSizeImage);
      EXPECT_EQ(image, listed[i]->lSampleSize);
      EXPECT_EQ(333333, info->AvgTimePerFrame);
      ++i;
    }
  }
  for (ULONG j = 0; j < fetched; ++j) DeleteMediaType(listed[j]);

  framework::CMediaTypeRecord record;
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, stream_->MediaTypeAt(30, &record));
  EXPECT_EQ(GUID_NULL, record.majortype);  // untouched
  EXPECT_EQ(E_INVALIDARG, stream_->MediaTypeAt(-1, &record));
  EXPECT_EQ(E_POINTER, stream_->MediaTypeAt(0, nullptr));
}

TEST_F(CameraPinTypes, CurrentTypeBeforeAnyConnectionIsTheModeType) {
  const ExpectedModeType expected;
  AM_MEDIA_TYPE* current = CurrentFormat();
  ASSERT_NE(nullptr, current);
  EXPECT_TRUE(MediaTypesEqual(expected.type, *current));
  EXPECT_EQ(1843200u, current->lSampleSize);
  DeleteMediaType(current);
}

struct Candidate {
  AM_MEDIA_TYPE type;
  std::vector<BYTE> block;
  VIDEOINFOHEADER& info() { return *reinterpret_cast<VIDEOINFOHEADER*>(block.data()); }
};

void Resize(Candidate& c, LONG width, LONG height) {
  c.info().bmiHeader.biWidth = width;
  c.info().bmiHeader.biHeight = height;
  c.info().bmiHeader.biSizeImage = width * height * 2;
}

void Reformat(Candidate& c, const GUID& subtype, WORD bits, DWORD compression) {
  c.type.subtype = subtype;
  c.info().bmiHeader.biBitCount = bits;
  c.info().bmiHeader.biCompression = compression;
}

struct TypeRow {
  const char* name;
  std::function<void(Candidate&)> change;
  HRESULT expected;
};

TEST_F(CameraPinTypes, AcceptedAndRefusedTypes) {
  const TypeRow rows[] = {
      {"mode type", [](Candidate&) {}, S_OK},
      {"biSizeImage 0", [](Candidate& c) { c.info().bmiHeader.biSizeImage = 0; }, S_OK},
      {"biPlanes 0", [](Candidate& c) { c.info().bmiHeader.biPlanes = 0; }, S_OK},
      {"rcTarget set", [](Candidate& c) { c.info().rcTarget = {0, 0, 1280, 720}; }, S_OK},
      {"dwBitRate set", [](Candidate& c) { c.info().dwBitRate = 442368000; }, S_OK},
      {"variable size samples", [](Candidate& c) { c.type.bFixedSizeSamples = FALSE; }, S_OK},
      {"trailing bytes", [](Candidate& c) { c.block.resize(120, 0xAB); }, S_OK},
      {"640 x 480", [](Candidate& c) { Resize(c, 640, 480); }, S_OK},
      {"1920 x 1080", [](Candidate& c) { Resize(c, 1920, 1080); }, S_OK},
      {"only the size given",
       [](Candidate& c) {
         c.info().bmiHeader.biBitCount = 0;
         c.info().bmiHeader.biCompression = 0;
         c.info().bmiHeader.biSizeImage = 0;
       },
       S_OK},
      {"interval 0 (the default)", [](Candidate& c) { c.info().AvgTimePerFrame = 0; }, S_OK},
      {"interval 166667 (60 fps)", [](Candidate& c) { c.info().AvgTimePerFrame = 166667; }, S_OK},
      {"interval 166666 (60 fps as 10^7 / 60 rounded down)",
       [](Candidate& c) { c.info().AvgTimePerFrame = 166666; },
       S_OK},
      {"interval 333667 (29.97 fps)", [](Candidate& c) { c.info().AvgTimePerFrame = 333667; }, S_OK},
      {"interval 10000000 (1 fps)", [](Candidate& c) { c.info().AvgTimePerFrame = 10000000; }, S_OK},
      {"NV12 header", [](Candidate& c) { Reformat(c, MEDIASUBTYPE_NV12, 12, 0x3231564E); }, S_OK},
      {"I420 header", [](Candidate& c) { Reformat(c, platform::kMediaSubtypeI420, 12, 0x30323449); }, S_OK},
      {"RGB24 header", [](Candidate& c) { Reformat(c, MEDIASUBTYPE_RGB24, 24, BI_RGB); }, S_OK},
      {"RGB32 header", [](Candidate& c) { Reformat(c, MEDIASUBTYPE_RGB32, 32, BI_RGB); }, S_OK},
      {"interval 166665 (faster than 60 fps)", [](Candidate& c) { c.info().AvgTimePerFrame = 166665; }, E_INVALIDARG},
      {"interval 10000001", [](Candidate& c) { c.info().AvgTimePerFrame = 10000001; }, E_INVALIDARG},
      {"negative interval", [](Candidate& c) { c.info().AvgTimePerFrame = -333333; }, E_INVALIDARG},
      {"biHeight -720", [](Candidate& c) { c.info().bmiHeader.biHeight = -720; }, E_INVALIDARG},
      {"800 x 600", [](Candidate& c) { Resize(c, 800, 600); }, E_INVALIDARG},
      {"1280 x 480", [](Candidate& c) { Resize(c, 1280, 480); }, E_INVALIDARG},
      {"width 0", [](Candidate& c) { c.info().bmiHeader.biWidth = 0; }, E_INVALIDARG},
      {"FORMAT_VideoInfo2",
       [](Candidate& c) {
         c.type.formattype = FORMAT_VideoInfo2;
         c.block.resize(112, 0);  // a VIDEOINFOHEADER2
       },
       E_INVALIDARG},
      {"subtype RGB24 with YUY2's 16 bits", [](Candidate& c) { c.type.subtype = MEDIASUBTYPE_RGB24; }, E_INVALIDARG},
      {"subtype RGB565", [](Candidate& c) { Reformat(c, MEDIASUBTYPE_RGB565, 16, BI_RGB); }, E_INVALIDARG},
      {"subtype NV12 with YUY2's FOURCC",
       [](Candidate& c) {
         c.type.subtype = MEDIASUBTYPE_NV12;
         c.info().bmiHeader.biBitCount = 12;
       },
       E_INVALIDARG},
      {"major type Audio", [](Candidate& c) { c.type.majortype = MEDIATYPE_Audio; }, E_INVALIDARG},
      {"biBitCount 12", [](Candidate& c) { c.info().bmiHeader.biBitCount = 12; }, E_INVALIDARG},
      {"biBitCount 24", [](Candidate& c) { c.info().bmiHeader.biBitCount = 24; }, E_INVALIDARG},
      {"biCompression I420", [](Candidate& c) { c.info().bmiHeader.biCompression = 0x30323449; }, E_INVALIDARG},
      {"RGB32 with BI_BITFIELDS",
       [](Candidate& c) { Reformat(c, MEDIASUBTYPE_RGB32, 32, BI_BITFIELDS); },
       E_INVALIDARG},
      {"no format block", [](Candidate& c) { c.block.clear(); }, E_INVALIDARG},
      {"block of 87 bytes", [](Candidate& c) { c.block.resize(87); }, E_INVALIDARG},
      {"block of 40 bytes", [](Candidate& c) { c.block.resize(40); }, E_INVALIDARG},
  };
  for (const TypeRow& row : rows) {
    framework::CMediaTypeRecord mode;
    ASSERT_EQ(S_OK, camera::BuildModeMediaType(camera::kDefaultCaptureMode, &mode));
    Candidate candidate{mode, std::vector<BYTE>(mode.pbFormat, mode.pbFormat + mode.cbFormat)};
    candidate.type.pbFormat = nullptr;
    row.change(candidate);
    candidate.type.cbFormat = static_cast<ULONG>(candidate.block.size());
    candidate.type.pbFormat = candidate.block.empty() ? nullptr : candidate.block.data();
    EXPECT_EQ(row.expected, stream_->ValidateMediaType(&candidate.type)) << row.name;
    EXPECT_EQ(row.expected == S_OK ? S_OK : S_FALSE, pin_->QueryAccept(&candidate.type)) << row.name;
  }
  EXPECT_EQ(E_INVALIDARG, stream_->ValidateMediaType(nullptr));
  EXPECT_EQ(E_POINTER, pin_->QueryAccept(nullptr));

  // A block length that claims 88 bytes with no block behind it.
  framework::CMediaTypeRecord mode;
  ASSERT_EQ(S_OK, camera::BuildModeMediaType(camera::kDefaultCaptureMode, &mode));
  AM_MEDIA_TYPE claimed = mode;
  claimed.pbFormat = nullptr;
  EXPECT_EQ(E_INVALIDARG, stream_->ValidateMediaType(&claimed));
}

// A client's choice is the one type a later connection is offered, so that a
// connection made by enumeration takes it; a peer that names another offered mode
// outright is still accepted, as SetFormat would accept it. The capabilities still
// list every mode.
TEST_F(CameraPinTypes, AfterAClientsChoiceOnlyThatFormatIsOffered) {
  platform::ComPtr<IEnumMediaTypes> before;
  ASSERT_EQ(S_OK, pin_->EnumMediaTypes(before.put()));
  ExpectedModeType chosen;
  chosen.type.subtype = MEDIASUBTYPE_RGB24;
  chosen.info.bmiHeader.biWidth = 640;
  chosen.info.bmiHeader.biHeight = 480;
  chosen.info.bmiHeader.biBitCount = 0;
  chosen.info.bmiHeader.biCompression = 0;
  chosen.info.bmiHeader.biSizeImage = 0;
  chosen.info.AvgTimePerFrame = 666667;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&chosen.type));
  AM_MEDIA_TYPE* current = CurrentFormat();
  ASSERT_NE(nullptr, current);

  AM_MEDIA_TYPE* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, before->Next(1, listed, &fetched)) << "the list changed";
  platform::ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(S_OK, pin_->EnumMediaTypes(types.put()));
  EXPECT_EQ(S_FALSE, types->Next(2, listed, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_TRUE(MediaTypesEqual(*current, *listed[0]));
  EXPECT_EQ(S_OK, stream_->ValidateMediaType(listed[0]));
  DeleteMediaType(listed[0]);
  const ExpectedModeType default_type;
  EXPECT_EQ(S_OK, stream_->ValidateMediaType(&default_type.type));
  EXPECT_EQ(S_OK, pin_->QueryAccept(&default_type.type));
  ExpectedModeType not_offered = default_type;
  not_offered.type.pbFormat = reinterpret_cast<BYTE*>(&not_offered.info);
  not_offered.info.bmiHeader.biWidth = 800;
  EXPECT_EQ(E_INVALIDARG, stream_->ValidateMediaType(&not_offered.type));
  int count = 0, size = 0;
  EXPECT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->GetNumberOfCapabilities(&count, &size));
  EXPECT_EQ(30, count);
  DeleteMediaType(current);
}

// The offered type is the one SetFormat completed, whatever later connections made
// the current type: a peer's own rcTarget, bit rate and trailing bytes are not offered
// to the next peer, and a peer that names another mode connects with it.
TEST_F(CameraPinTypes, TheChosenFormatIsOfferedAsSetFormatCompletedIt) {
  ExpectedModeType chosen;
  chosen.info.bmiHeader.biWidth = 640;
  chosen.info.bmiHeader.biHeight = 480;
  chosen.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&chosen.type));
  AM_MEDIA_TYPE* completed = CurrentFormat();
  ASSERT_NE(nullptr, completed);

  struct Peer {
    const char* name;
    LONG width, height;
  } const peers[] = {{"the chosen mode with the peer's extras", 640, 480}, {"another mode", 1280, 720}};
  for (const Peer& peer : peers) {
    SCOPED_TRACE(peer.name);
    ExpectedModeType own;
    own.info.bmiHeader.biWidth = peer.width;
    own.info.bmiHeader.biHeight = peer.height;
    own.info.bmiHeader.biSizeImage = peer.width * peer.height * 2;
    own.type.lSampleSize = own.info.bmiHeader.biSizeImage;
    own.info.rcTarget = {0, 0, peer.width, peer.height};
    own.info.dwBitRate = 1234;
    std::vector<BYTE> block(120, 0xAB);
    std::memcpy(block.data(), &own.info, sizeof(own.info));
    own.type.cbFormat = static_cast<ULONG>(block.size());
    own.type.pbFormat = block.data();
    ASSERT_EQ(S_OK, pin_->Connect(static_cast<IPin*>(&sink_), &own.type));
    AM_MEDIA_TYPE connected = {};
    ASSERT_EQ(S_OK, pin_->ConnectionMediaType(&connected));
    EXPECT_TRUE(MediaTypesEqual(own.type, connected));
    ClearMediaType(&connected);
    ASSERT_EQ(S_OK, pin_->Disconnect());
    ASSERT_EQ(S_OK, sink_.Disconnect());

    platform::ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(S_OK, pin_->EnumMediaTypes(types.put()));
    AM_MEDIA_TYPE* listed[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, types->Next(2, listed, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_TRUE(MediaTypesEqual(*completed, *listed[0]));
    DeleteMediaType(listed[0]);
  }
  DeleteMediaType(completed);
}

// The chosen type goes into the caller's record: its old block is freed, and when the
// new one cannot be had the record is left exactly as it was.
TEST_F(CameraPinTypes, TheChosenTypeReplacesTheRecordsBlockOrLeavesTheRecord) {
  ExpectedModeType chosen;
  chosen.type.subtype = MEDIASUBTYPE_NV12;
  chosen.info.bmiHeader.biBitCount = 0;
  chosen.info.bmiHeader.biCompression = 0;
  chosen.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&chosen.type));
  AM_MEDIA_TYPE* completed = CurrentFormat();
  ASSERT_NE(nullptr, completed);

  framework::CMediaTypeRecord record;
  record.majortype = MEDIATYPE_Audio;
  record.lSampleSize = 4;
  BYTE* old_block = record.EnsureFormatBlock(40);
  ASSERT_NE(nullptr, old_block);
  {
    TaskMemFailureScope shortage(sizeof(VIDEOINFOHEADER));
    ASSERT_EQ(S_OK, shortage.registration());
    EXPECT_EQ(E_OUTOFMEMORY, stream_->MediaTypeAt(0, &record));
    EXPECT_LE(1, shortage.failures());
  }
  EXPECT_EQ(MEDIATYPE_Audio, record.majortype);
  EXPECT_EQ(GUID_NULL, record.subtype);
  EXPECT_EQ(4u, record.lSampleSize);
  EXPECT_EQ(40u, record.cbFormat);
  EXPECT_EQ(old_block, record.pbFormat);

  TaskMemFreeTracker freed;
  ASSERT_EQ(S_OK, freed.registration());
  EXPECT_EQ(S_OK, stream_->MediaTypeAt(0, &record));
  EXPECT_TRUE(freed.WasFreed(old_block));
  EXPECT_TRUE(MediaTypesEqual(*completed, record));
  record.ResetToDefault();
  DeleteMediaType(completed);
  EXPECT_EQ(S_OK, freed.Revoke());  // every block made meanwhile is gone again
}

// A short block placed against an inaccessible page: reading one byte past cbFormat
// would fault.
TEST_F(CameraPinTypes, ShortBlockIsRefusedWithoutReadingPastIt) {
  SYSTEM_INFO system = {};
  GetSystemInfo(&system);
  BYTE* pages = static_cast<BYTE*>(
      VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, pages);
  DWORD old_protection = 0;
  ASSERT_TRUE(VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old_protection));
  const ExpectedModeType expected;
  for (ULONG length : {0u, 1u, 48u, 72u, 87u}) {
    BYTE* block = pages + system.dwPageSize - length;
    std::memcpy(block, &expected.info, length);
    AM_MEDIA_TYPE type = expected.type;
    type.cbFormat = length;
    type.pbFormat = block;
    EXPECT_EQ(E_INVALIDARG, stream_->ValidateMediaType(&type)) << length;
    EXPECT_EQ(S_FALSE, pin_->QueryAccept(&type)) << length;
    EXPECT_EQ(E_INVALIDARG, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&type)) << length;
  }
  VirtualFree(pages, 0, MEM_RELEASE);
}

// ---- Buffer sizing ------------------------------------------------------------------

using CameraPinBuffers = CameraFixture;

TEST_F(CameraPinBuffers, AsksForOneFrameBufferUnderTheStateLock) {
  FakeAllocator allocator;
  allocator.watched_lock = stream_->lock();
  ALLOCATOR_PROPERTIES request = {4, 99, 16, 8};
  EXPECT_EQ(S_OK, stream_->SizeBuffers(&allocator, &request));
  EXPECT_EQ(1, allocator.set_properties_calls);
  EXPECT_TRUE(allocator.lock_held);
  EXPECT_EQ(1, allocator.requested.cBuffers);
  EXPECT_EQ(kFrameBytes, allocator.requested.cbBuffer);
  EXPECT_EQ(16, allocator.requested.cbAlign);
  EXPECT_EQ(8, allocator.requested.cbPrefix);
  EXPECT_EQ(1, request.cBuffers);
  EXPECT_EQ(kFrameBytes, request.cbBuffer);
}

TEST_F(CameraPinBuffers, GrantsAreCheckedAgainstTheFrameSize) {
  struct {
    LONG buffer_delta;
    LONG count_delta;
    HRESULT allocator_result;
    HRESULT expected;
  } const rows[] = {
      {-1, 0, S_OK, E_FAIL},                                        // one byte short
      {1, 0, S_OK, S_OK},                                           // more bytes
      {4096, 3, S_OK, S_OK},                                        // more bytes, more buffers
      {0, 0, VFW_E_ALREADY_COMMITTED, VFW_E_ALREADY_COMMITTED},     // passed through
      {0, 0, E_OUTOFMEMORY, E_OUTOFMEMORY},
  };
  for (const auto& row : rows) {
    FakeAllocator allocator;
    allocator.buffer_delta = row.buffer_delta;
    allocator.count_delta = row.count_delta;
    allocator.result = row.allocator_result;
    ALLOCATOR_PROPERTIES request = {};
    EXPECT_EQ(row.expected, stream_->SizeBuffers(&allocator, &request)) << row.buffer_delta;
    EXPECT_EQ(0, allocator.commits + allocator.decommits) << "sizing leaves committing to the stream";
  }
  FakeAllocator allocator;
  ALLOCATOR_PROPERTIES request = {};
  EXPECT_EQ(E_POINTER, stream_->SizeBuffers(nullptr, &request));
  EXPECT_EQ(E_POINTER, stream_->SizeBuffers(&allocator, nullptr));
  EXPECT_EQ(0, allocator.set_properties_calls);
}

// A type that leaves the image size to the camera gets buffers of a whole frame.
TEST_F(CameraPinBuffers, BuffersHoldAFrameOfTheChosenFormat) {
  ExpectedModeType chosen;
  chosen.type.subtype = MEDIASUBTYPE_RGB24;
  chosen.info.bmiHeader.biWidth = 640;
  chosen.info.bmiHeader.biHeight = 480;
  chosen.info.bmiHeader.biBitCount = 24;
  chosen.info.bmiHeader.biCompression = BI_RGB;
  chosen.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&chosen.type));
  FakeAllocator allocator;
  ALLOCATOR_PROPERTIES request = {};
  EXPECT_EQ(S_OK, stream_->SizeBuffers(&allocator, &request));
  EXPECT_EQ(640 * 480 * 3, allocator.requested.cbBuffer);
  EXPECT_EQ(1, allocator.requested.cBuffers);
}

// ---- IAMStreamConfig ----------------------------------------------------------------

using CameraStreamConfig = CameraFixture;

TEST_F(CameraStreamConfig, CapabilitiesOfEveryMode) {
  IAMStreamConfig* config = stream_;
  int count = -1;
  int size = -1;
  EXPECT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  EXPECT_EQ(30, count);
  EXPECT_EQ(128, size);
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(nullptr, &size));
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(&count, nullptr));

  // Bits per second at the mode's own 30 fps, as the camera reported them when it had
  // one mode: (10,000,000 / 333333) x height x width x bits, which fits a LONG even
  // at 1920 x 1080 RGB32.
  const struct {
    GUID subtype;
    LONG width, height;
    LONG bits_per_second;
  } rates[] = {
      {MEDIASUBTYPE_YUY2, 1280, 720, 442368000},
      {MEDIASUBTYPE_RGB32, 1920, 1080, 1990656000},
      {MEDIASUBTYPE_NV12, 320, 240, 27648000},
  };
  int rates_found = 0;
  BYTE caps_bytes[160];
  for (int index = 0; index < count; ++index) {
    SCOPED_TRACE(testing::Message() << "index " << index);
    std::memset(caps_bytes, 0xEE, sizeof(caps_bytes));
    AM_MEDIA_TYPE* type = nullptr;
    ASSERT_EQ(S_OK, config->GetStreamCaps(index, &type, caps_bytes));
    ASSERT_NE(nullptr, type);
    const BITMAPINFOHEADER bitmap = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
    const GUID subtype = type->subtype;
    if (index == 0) {
      const ExpectedModeType expected;
      EXPECT_TRUE(MediaTypesEqual(expected.type, *type));
    }
    DeleteMediaType(type);

    VIDEO_STREAM_CONFIG_CAPS caps;
    std::memcpy(&caps, caps_bytes, sizeof(caps));
    EXPECT_EQ(FORMAT_VideoInfo, caps.guid);
    EXPECT_EQ(0u, caps.VideoStandard);
    for (const SIZE& s : {caps.InputSize, caps.MinCroppingSize, caps.MaxCroppingSize, caps.MinOutputSize,
                          caps.MaxOutputSize}) {
      EXPECT_EQ(bitmap.biWidth, s.cx);
      EXPECT_EQ(bitmap.biHeight, s.cy);
    }
    EXPECT_EQ(bitmap.biWidth, caps.CropGranularityX);
    EXPECT_EQ(bitmap.biHeight, caps.CropGranularityY);
    EXPECT_EQ(0, caps.CropAlignX | caps.CropAlignY | caps.OutputGranularityX | caps.OutputGranularityY);
    EXPECT_EQ(0, caps.StretchTapsX | caps.StretchTapsY | caps.ShrinkTapsX | caps.ShrinkTapsY);
    EXPECT_EQ(166666, caps.MinFrameInterval);
    EXPECT_EQ(10000000, caps.MaxFrameInterval);
    EXPECT_EQ(caps.MinBitsPerSecond, caps.MaxBitsPerSecond);
    EXPECT_GT(caps.MinBitsPerSecond, 0);
    for (const auto& rate : rates) {
      if (subtype == rate.subtype && bitmap.biWidth == rate.width && bitmap.biHeight == rate.height) {
        ++rates_found;
        EXPECT_EQ(rate.bits_per_second, caps.MinBitsPerSecond);
        EXPECT_EQ(rate.bits_per_second, caps.MaxBitsPerSecond);
      }
    }
    EXPECT_TRUE(AllBytes(caps_bytes + 128, 32, 0xEE));  // nothing past the record
  }
  EXPECT_EQ(3, rates_found);
  AM_MEDIA_TYPE* type = nullptr;
  for (int index : {30, -1}) {
    type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(E_INVALIDARG, config->GetStreamCaps(index, &type, caps_bytes)) << index;
  }
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, nullptr, caps_bytes));
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, &type, nullptr));
}

// Real devices take a type with only the size filled in and complete it; GetFormat
// then shows the whole type.
TEST_F(CameraStreamConfig, SetFormatCompletesWhatTheClientLeftOut) {
  IAMStreamConfig* config = stream_;
  ASSERT_EQ(S_OK, filter_->JoinFilterGraph(&graph_, L"camera"));
  const struct {
    GUID subtype;
    LONG width, height;
    REFERENCE_TIME interval;  // as given; 0 is the default
    WORD bits;
    DWORD compression, image;
  } rows[] = {
      {MEDIASUBTYPE_YUY2, 1280, 720, 0, 16, 0x32595559, 1843200},
      {MEDIASUBTYPE_NV12, 1920, 1080, 166667, 12, 0x3231564E, 3110400},
      {platform::kMediaSubtypeI420, 320, 240, 10000000, 12, 0x30323449, 115200},
      {MEDIASUBTYPE_RGB24, 640, 480, 666667, 24, BI_RGB, 921600},
      {MEDIASUBTYPE_RGB32, 960, 540, 400000, 32, BI_RGB, 2073600},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.width << "x" << row.height << " bits " << row.bits);
    ExpectedModeType partial;
    partial.type.subtype = row.subtype;
    partial.type.lSampleSize = 0;
    partial.info.bmiHeader.biWidth = row.width;
    partial.info.bmiHeader.biHeight = row.height;
    partial.info.bmiHeader.biSize = 0;
    partial.info.bmiHeader.biPlanes = 0;
    partial.info.bmiHeader.biBitCount = 0;
    partial.info.bmiHeader.biCompression = 0;
    partial.info.bmiHeader.biSizeImage = 0;
    partial.info.AvgTimePerFrame = row.interval;
    EXPECT_EQ(S_OK, config->SetFormat(&partial.type));
    AM_MEDIA_TYPE* current = CurrentFormat();
    ASSERT_NE(nullptr, current);
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(current->pbFormat);
    EXPECT_EQ(row.subtype, current->subtype);
    EXPECT_EQ(40u, info->bmiHeader.biSize);
    EXPECT_EQ(1, info->bmiHeader.biPlanes);
    EXPECT_EQ(row.bits, info->bmiHeader.biBitCount);
    EXPECT_EQ(row.compression, info->bmiHeader.biCompression);
    EXPECT_EQ(row.image, info->bmiHeader.biSizeImage);
    EXPECT_EQ(row.image, current->lSampleSize);
    EXPECT_EQ(row.interval ? row.interval : 333333, info->AvgTimePerFrame);
    EXPECT_EQ(row.width, info->bmiHeader.biWidth);
    EXPECT_EQ(row.height, info->bmiHeader.biHeight);
    DeleteMediaType(current);
  }
  // The default again, byte for byte.
  const ExpectedModeType mode;
  EXPECT_EQ(S_OK, config->SetFormat(const_cast<AM_MEDIA_TYPE*>(&mode.type)));
  AM_MEDIA_TYPE* current = CurrentFormat();
  EXPECT_TRUE(MediaTypesEqual(mode.type, *current));
  DeleteMediaType(current);
  EXPECT_EQ(0, graph_.reconnect_calls);  // not connected: nothing to reconnect
}

TEST_F(CameraStreamConfig, SetFormatRefusesWhatIsNotOfferedAndChangesNothing) {
  IAMStreamConfig* config = stream_;
  ExpectedModeType chosen;
  chosen.info.bmiHeader.biWidth = 640;
  chosen.info.bmiHeader.biHeight = 360;
  chosen.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, config->SetFormat(&chosen.type));
  AM_MEDIA_TYPE* before = CurrentFormat();
  ASSERT_NE(nullptr, before);
  ExpectedModeType odd_size;
  odd_size.info.bmiHeader.biWidth = 800;
  odd_size.info.bmiHeader.biHeight = 600;
  ExpectedModeType too_fast;
  too_fast.info.AvgTimePerFrame = 100000;
  ExpectedModeType too_slow;
  too_slow.info.AvgTimePerFrame = 20000000;
  ExpectedModeType wrong_bits;
  wrong_bits.type.subtype = MEDIASUBTYPE_RGB32;
  wrong_bits.info.bmiHeader.biBitCount = 24;
  wrong_bits.info.bmiHeader.biCompression = BI_RGB;
  for (ExpectedModeType* refused : {&odd_size, &too_fast, &too_slow, &wrong_bits}) {
    EXPECT_EQ(E_INVALIDARG, config->SetFormat(&refused->type));
  }
  AM_MEDIA_TYPE* after = CurrentFormat();
  EXPECT_TRUE(MediaTypesEqual(*before, *after));
  EXPECT_EQ(640, reinterpret_cast<const VIDEOINFOHEADER*>(after->pbFormat)->bmiHeader.biWidth);
  DeleteMediaType(before);
  DeleteMediaType(after);
  EXPECT_EQ(E_POINTER, config->SetFormat(nullptr));
}

TEST_F(CameraStreamConfig, SetFormatNeedsAStoppedFilter) {
  IAMStreamConfig* config = stream_;
  ExpectedModeType mode;
  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, config->SetFormat(&mode.type));
  EXPECT_EQ(E_POINTER, config->SetFormat(nullptr));
  ASSERT_EQ(S_OK, filter_->Run(0));
  EXPECT_EQ(VFW_E_NOT_STOPPED, config->SetFormat(&mode.type));
  EXPECT_EQ(E_POINTER, config->SetFormat(nullptr));
  ASSERT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(S_OK, config->SetFormat(&mode.type));
}

// A stop that could not decommit leaves the worker streaming (and reading the format)
// in a stopped filter: SetFormat waits until a disconnection has ended it.
TEST_F(CameraStreamConfig, SetFormatIsRefusedWhileAWorkerOutlivesAFailedStop) {
  platform::ComPtr<IMemAllocator> real;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   real.put_void()));
  ForwardingAllocator allocator(real.get(), E_ACCESSDENIED);
  sink_.allocator = &allocator;
  ConnectSink();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2, 5000));
  allocator.fail_decommit = true;
  EXPECT_EQ(E_ACCESSDENIED, filter_->Stop());
  const LONG before = sink_.receive_count();
  ASSERT_TRUE(sink_.WaitForReceives(before + 1, 5000)) << "the worker still streams";

  IAMStreamConfig* config = stream_;
  ExpectedModeType mode;
  EXPECT_EQ(VFW_E_NOT_STOPPED, config->SetFormat(&mode.type));
  EXPECT_EQ(S_OK, pin_->Disconnect());
  EXPECT_EQ(S_OK, sink_.Disconnect());
  EXPECT_EQ(S_OK, config->SetFormat(&mode.type));
  sink_.allocator = nullptr;
}

TEST_F(CameraStreamConfig, SetFormatOnAConnectedPinAsksTheGraphToReconnect) {
  ConnectSink();
  ASSERT_EQ(S_OK, filter_->JoinFilterGraph(&graph_, L"camera"));
  graph_.reconnect_result = E_FAIL;
  graph_.watched_lock = stream_->lock();
  ExpectedModeType zero;
  zero.info.bmiHeader.biSizeImage = 0;
  EXPECT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&zero.type));
  EXPECT_EQ(1, graph_.reconnect_calls);
  EXPECT_EQ(pin_, graph_.reconnected_pin);
  EXPECT_FALSE(graph_.lock_held);  // the graph reconnects on its own terms
  AM_MEDIA_TYPE* current = CurrentFormat();
  const ExpectedModeType completed;
  EXPECT_TRUE(MediaTypesEqual(completed.type, *current));
  DeleteMediaType(current);
  EXPECT_EQ(1, graph_.ref_count());
}

TEST_F(CameraStreamConfig, SetFormatOutOfMemoryKeepsThePreviousType) {
  IAMStreamConfig* config = stream_;
  ExpectedModeType zero;
  zero.info.bmiHeader.biSizeImage = 0;
  {
    TaskMemFailureScope shortage(sizeof(VIDEOINFOHEADER));
    ASSERT_EQ(S_OK, shortage.registration());
    EXPECT_EQ(E_OUTOFMEMORY, config->SetFormat(&zero.type));
    EXPECT_LE(1, shortage.failures());
  }
  const ExpectedModeType mode;
  AM_MEDIA_TYPE* current = CurrentFormat();
  ASSERT_NE(nullptr, current);
  EXPECT_TRUE(MediaTypesEqual(mode.type, *current));  // format block and all
  DeleteMediaType(current);
}

TEST_F(CameraStreamConfig, CopiesOutOfMemoryGiveNullAndNothingWritten) {
  IAMStreamConfig* config = stream_;
  for (size_t size : {sizeof(AM_MEDIA_TYPE), sizeof(VIDEOINFOHEADER)}) {
    TaskMemFailureScope shortage(size);
    ASSERT_EQ(S_OK, shortage.registration());
    AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(E_OUTOFMEMORY, config->GetFormat(&type)) << size;
    EXPECT_EQ(nullptr, type);
    BYTE caps[128];
    std::memset(caps, 0xEE, sizeof(caps));
    type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(E_OUTOFMEMORY, config->GetStreamCaps(0, &type, caps)) << size;
    EXPECT_EQ(nullptr, type);
    EXPECT_TRUE(AllBytes(caps, sizeof(caps), 0xEE));
  }
  EXPECT_EQ(E_POINTER, config->GetFormat(nullptr));
}

// ---- IKsPropertySet -----------------------------------------------------------------

using CameraPinCategory = CameraFixture;

TEST_F(CameraPinCategory, ReadsTheCaptureCategory) {
  IKsPropertySet* properties = stream_;
  GUID category = GUID_NULL;
  DWORD returned = 0;
  EXPECT_EQ(S_OK, properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category),
                                  &returned));
  EXPECT_EQ(PIN_CATEGORY_CAPTURE, category);
  EXPECT_EQ(16u, returned);

  BYTE small[8] = {};
  returned = 0;
  EXPECT_EQ(E_UNEXPECTED,
            properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, small, sizeof(small), &returned));
  EXPECT_EQ(16u, returned);
  EXPECT_TRUE(AllBytes(small, sizeof(small), 0));

  returned = 0;
  EXPECT_EQ(S_OK, properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(16u, returned);
  EXPECT_EQ(E_POINTER, properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, nullptr));
  category = GUID_NULL;
  EXPECT_EQ(S_OK, properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16, nullptr));
  EXPECT_EQ(PIN_CATEGORY_CAPTURE, category);
}

TEST_F(CameraPinCategory, OtherPropertiesAndWritesAreRefused) {
  IKsPropertySet* properties = stream_;
  GUID data = GUID_NULL;
  DWORD returned = 0;
  DWORD support = 0;
  EXPECT_EQ(E_PROP_ID_UNSUPPORTED, properties->Get(AMPROPSETID_Pin, 1, nullptr, 0, &data, 16, &returned));
  EXPECT_EQ(E_PROP_ID_UNSUPPORTED, properties->QuerySupported(AMPROPSETID_Pin, 1, &support));
  EXPECT_EQ(E_PROP_SET_UNSUPPORTED, properties->Get(PIN_CATEGORY_CAPTURE, 0, nullptr, 0, &data, 16, &returned));
  EXPECT_EQ(E_PROP_SET_UNSUPPORTED, properties->Get(PIN_CATEGORY_CAPTURE, 0, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(E_PROP_SET_UNSUPPORTED, properties->QuerySupported(PIN_CATEGORY_CAPTURE, 0, nullptr));
  EXPECT_EQ(0u, returned);

  EXPECT_EQ(S_OK, properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support));
  EXPECT_EQ(static_cast<DWORD>(KSPROPERTY_SUPPORT_GET), support);
  EXPECT_EQ(S_OK, properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr));

  data = PIN_CATEGORY_PREVIEW;
  EXPECT_EQ(E_NOTIMPL, properties->Set(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &data, 16));
  EXPECT_EQ(E_NOTIMPL, properties->Set(GUID_NULL, 7, nullptr, 0, nullptr, 0));
}

// ---- Filling samples ----------------------------------------------------------------
// No clock is set, so each sample after the first sleeps one period: these tests look
// at bytes and stamps, the pacing tests below at time.

using CameraFillSample = CameraFixture;

TEST_F(CameraFillSample, CopiesTheNewestProducerFrame) {
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  producer.Write(1);
  const std::vector<uint8_t> newest = producer.Write(2);
  FakeSample sample(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_TRUE(BytesEqual(sample, newest));
  EXPECT_EQ(kFrameBytes, sample.actual_length);
  EXPECT_TRUE(sample.GuardIntact());
  EXPECT_TRUE(stream_->HasSectionView());

  // A producer that stops writing but stays: the last frame again.
  FakeSample again(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&again));
  EXPECT_TRUE(BytesEqual(again, newest));
}

// The picture is taken after the wait: a frame published while the sample waits for
// its due time is the one it carries.
TEST_F(CameraFillSample, CarriesTheFrameWrittenDuringItsWait) {
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  const std::vector<uint8_t> old_frame = producer.Write(1);
  clock_.SetFrozen(5'000'000'000);  // a stopped clock: each sample after the first waits a period
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  FakeSample first(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&first));
  EXPECT_TRUE(BytesEqual(first, old_frame));

  // Writes a new frame as soon as the second sample has asked the clock for the time.
  std::vector<uint8_t> new_frame;
  const int calls = clock_.get_time_calls.load();
  std::thread writer([&] {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (clock_.get_time_calls.load() == calls && GetTickCount64() < deadline) Sleep(0);
    new_frame = producer.Write(2);
  });
  FakeSample second(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&second));
  writer.join();
  EXPECT_TRUE(BytesEqual(second, new_frame));
}

// A producer frame of any size the camera shows is scaled into the format, its
// padding unread; one of a size it does not show gives the placeholder.
TEST_F(CameraFillSample, ProducerFramesOfOtherSizesAreScaledIntoTheFormat) {
  const std::vector<uint8_t> placeholder = PlaceholderBytes();
  struct {
    int32_t width, height, stride;
  } const refused[] = {{1280, 2162, 2560}, {641, 480, 1282}, {3842, 4, 7684}};  // larger sections first
  for (const auto& format : refused) {
    SCOPED_TRACE(testing::Message() << format.width << "x" << format.height);
    Producer producer(format.width, format.height, format.stride);
    ASSERT_TRUE(producer);
    producer.WriteFlat(0x51, 0x62, 0x73);
    FakeSample sample(kFrameBytes);
    ASSERT_EQ(S_OK, stream_->FillSample(&sample));
    EXPECT_TRUE(BytesEqual(sample, placeholder));
    producer.Close();
    FakeSample after(kFrameBytes);  // lets go of the closed section
    ASSERT_EQ(S_OK, stream_->FillSample(&after));
  }
  // 4:3 into 16:9, rows padded: bars of 160 pixels left and right.
  Producer producer(640, 480, 1312);
  ASSERT_TRUE(producer);
  producer.WriteFlat(0x51, 0x62, 0x73);
  FakeSample sample(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_EQ(kFrameBytes, sample.actual_length);
  for (const int row : {0, 359, 719}) {
    const BYTE* line = sample.data() + row * 2560;
    for (const int x : {0, 158, 1122, 1278}) {
      EXPECT_EQ(16, line[2 * x]) << "bar at " << x << "," << row;
      EXPECT_EQ(128, line[2 * x + 1]);
    }
    for (const int x : {160, 640, 1118}) {
      EXPECT_EQ(0x51, line[2 * x]) << "picture at " << x << "," << row;
      EXPECT_EQ(0x62, line[2 * x + 1]);
      EXPECT_EQ(0x73, line[2 * x + 3]);
    }
  }
  EXPECT_TRUE(sample.GuardIntact());
}

TEST_F(CameraFillSample, ProducerWithoutFramesKeepsTheViewAndShowsThePlaceholder) {
  const std::vector<uint8_t> placeholder = PlaceholderBytes();
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  FakeSample sample(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_TRUE(BytesEqual(sample, placeholder));
  EXPECT_TRUE(stream_->HasSectionView());

  // Its first frame is the next sample's picture.
  const std::vector<uint8_t> frame = producer.Write(9);
  FakeSample next(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&next));
  EXPECT_TRUE(BytesEqual(next, frame));
}

TEST_F(CameraFillSample, ClosedProducerDropsTheViewAndShowsThePlaceholder) {
  const std::vector<uint8_t> placeholder = PlaceholderBytes();
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  const std::vector<uint8_t> frame = producer.Write(4);
  FakeSample first(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&first));
  EXPECT_TRUE(BytesEqual(first, frame));
  producer.Close();
  const long views = platform::LiveViewCount();

  FakeSample after(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&after));
  EXPECT_TRUE(BytesEqual(after, placeholder));
  EXPECT_FALSE(stream_->HasSectionView());  // dropped, and nothing left to reopen
  EXPECT_EQ(views - 1, platform::LiveViewCount());
}

TEST_F(CameraFillSample, NeverWritesPastTheSamplesBuffer) {
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  producer.Write(5);
  // A buffer smaller than the image size: neither the producer frame nor the
  // placeholder fits; grey fills exactly what the buffer holds.
  for (LONG size : {LONG{1000}, kFrameBytes - 1}) {
    FakeSample sample(size);
    ASSERT_EQ(S_OK, stream_->FillSample(&sample));
    EXPECT_EQ(size, sample.actual_length);
    EXPECT_TRUE(AllBytes(sample.data(), size, 0x80)) << size;
    EXPECT_TRUE(sample.GuardIntact()) << size;
  }
  producer.Close();
  FakeSample sample(kFrameBytes - 2);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_EQ(kFrameBytes - 2, sample.actual_length);
  EXPECT_TRUE(AllBytes(sample.data(), kFrameBytes - 2, 0x80));
  EXPECT_TRUE(sample.GuardIntact());

  // A larger buffer takes one frame; the rest stays as it was.
  const std::vector<uint8_t> placeholder = PlaceholderBytes();
  FakeSample large(kFrameBytes + 100, 0x33);
  ASSERT_EQ(S_OK, stream_->FillSample(&large));
  EXPECT_TRUE(BytesEqual(large, placeholder));
  EXPECT_EQ(kFrameBytes, large.actual_length);
  EXPECT_TRUE(AllBytes(large.data() + kFrameBytes, 100, 0x33));
}

// Grey in RGB32 is an opaque mid-grey: 80 80 80 FF per pixel.
TEST_F(CameraFillSample, GreyInRgb32HasAnOpaqueFourthByte) {
  ExpectedModeType rgb32;
  rgb32.type.subtype = MEDIASUBTYPE_RGB32;
  rgb32.info.bmiHeader.biWidth = 320;
  rgb32.info.bmiHeader.biHeight = 240;
  rgb32.info.bmiHeader.biBitCount = 32;
  rgb32.info.bmiHeader.biCompression = BI_RGB;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&rgb32.type));
  FakeSample sample(1000);  // shorter than a frame: neither picture fits
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_EQ(1000, sample.actual_length);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(i % 4 == 3 ? 0xFF : 0x80, sample.data()[i]) << i;
  }
  EXPECT_TRUE(sample.GuardIntact());
}

TEST_F(CameraFillSample, AnEmptyBufferGetsNoBytesButItsStamps) {
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  producer.Write(6);
  FakeSample sample(0);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_EQ(0, sample.actual_length);
  EXPECT_TRUE(sample.GuardIntact());
  EXPECT_EQ(0, sample.start_time);
  EXPECT_EQ(kPeriod, sample.end_time);
  EXPECT_EQ(TRUE, sample.discontinuity);
}

// An image size given larger than one frame is the format's own once accepted: the
// sample carries one frame, and a larger buffer keeps the rest as it was.
TEST_F(CameraFillSample, ALargerImageSizeGivenBecomesTheFramesOwn) {
  constexpr LONG kExtra = 64;
  ExpectedModeType larger;
  larger.info.bmiHeader.biSizeImage = kFrameBytes + kExtra;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&larger.type));
  AM_MEDIA_TYPE* current = CurrentFormat();
  ASSERT_NE(nullptr, current);
  EXPECT_EQ(kFrameBytes, static_cast<LONG>(reinterpret_cast<VIDEOINFOHEADER*>(current->pbFormat)->bmiHeader.biSizeImage));
  DeleteMediaType(current);
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  const std::vector<uint8_t> frame = producer.Write(7);
  FakeSample sample(kFrameBytes + kExtra, 0x44);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_TRUE(BytesEqual(sample, frame));
  EXPECT_TRUE(AllBytes(sample.data() + kFrameBytes, kExtra, 0x44));
  EXPECT_EQ(kFrameBytes, sample.actual_length);
  EXPECT_TRUE(sample.GuardIntact());
}

// Without a clock the times come from real time since the first sample: on the
// frame grid from 0 (a late wake-up may skip a grid point), one interval long.
TEST_F(CameraFillSample, StampsGridTimesAndOneDiscontinuity) {
  REFERENCE_TIME previous = -1;
  for (int i = 0; i < 3; ++i) {
    FakeSample sample(kFrameBytes);
    ASSERT_EQ(S_OK, stream_->FillSample(&sample));
    EXPECT_EQ(1, sample.set_time_calls);
    if (i == 0) {
      EXPECT_EQ(0, sample.start_time);
    }
    EXPECT_GT(sample.start_time, previous);
    EXPECT_EQ(0, sample.start_time % kPeriod);
    EXPECT_EQ(sample.start_time + kPeriod, sample.end_time);
    EXPECT_EQ(TRUE, sample.sync_point);
    EXPECT_EQ(i == 0 ? TRUE : FALSE, sample.discontinuity) << i;
    previous = sample.start_time;
  }
  // An accepted format restarts the times with a discontinuity; so does a new worker.
  const ExpectedModeType mode;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(const_cast<AM_MEDIA_TYPE*>(&mode.type)));
  FakeSample restarted(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&restarted));
  EXPECT_EQ(0, restarted.start_time);
  EXPECT_EQ(TRUE, restarted.discontinuity);
  FakeSample next(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&next));
  EXPECT_GT(next.start_time, 0);
  EXPECT_EQ(FALSE, next.discontinuity);
  EXPECT_EQ(S_OK, stream_->OnWorkerThreadStart());
  FakeSample after_start(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&after_start));
  EXPECT_EQ(0, after_start.start_time);
  EXPECT_EQ(TRUE, after_start.discontinuity);
}

TEST_F(CameraFillSample, MissingSampleOrBufferIsAnError) {
  EXPECT_EQ(E_POINTER, stream_->FillSample(nullptr));
  FakeSample sample(kFrameBytes);
  sample.set_null_pointer(true);
  EXPECT_EQ(E_POINTER, stream_->FillSample(&sample));
  EXPECT_EQ(0, sample.set_time_calls);
  EXPECT_EQ(-1, sample.actual_length);
}

TEST_F(CameraFillSample, WorkerExitReleasesTheSectionView) {
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  FakeSample sample(kFrameBytes);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  ASSERT_TRUE(stream_->HasSectionView());
  const long handles = platform::LiveHandleCount();
  EXPECT_EQ(S_OK, stream_->OnWorkerThreadExit());
  EXPECT_FALSE(stream_->HasSectionView());
  EXPECT_EQ(handles - 1, platform::LiveHandleCount());
}

// ---- Stop -------------------------------------------------------------------------------

using CameraPinStop = CameraFixture;

TEST_F(CameraPinStop, FlushesAroundTheWorkersEnd) {
  ConnectSink();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(3, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto events = sink_.events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ("BeginFlush", events[events.size() - 2]);
  EXPECT_EQ("EndFlush", events.back());
  EXPECT_EQ(1, sink_.committed_at_begin_flush.load());  // before the decommit, so before WorkerStop
  EXPECT_EQ(1, sink_.worker_alive_at_begin_flush.load());
  EXPECT_EQ(0, sink_.worker_alive_at_end_flush.load());  // after the worker ended
  const size_t delivered = sink_.received().size();
  EXPECT_FALSE(sink_.WaitForReceives(delivered + 1, 100));

  // Streaming again on the same connection.
  ASSERT_EQ(S_OK, filter_->Run(0));
  EXPECT_TRUE(sink_.WaitForReceives(delivered + 2, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto received = sink_.received();
  EXPECT_EQ(0, received[delivered].start);  // a new worker starts the times again
  EXPECT_TRUE(received[delivered].discontinuity);
}

}  // namespace
}  // namespace veltrano::test
