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

TEST_F(CameraPinTypes, OffersExactlyTheModeMediaType) {
  const ExpectedModeType expected;
  platform::ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(S_OK, pin_->EnumMediaTypes(types.put()));
  AM_MEDIA_TYPE* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, types->Next(2, listed, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_TRUE(MediaTypesEqual(expected.type, *listed[0]));
  DeleteMediaType(listed[0]);

  framework::CMediaTypeRecord record;
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, stream_->MediaTypeAt(1, &record));
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
      {"biHeight -720", [](Candidate& c) { c.info().bmiHeader.biHeight = -720; }, E_INVALIDARG},
      {"640 x 480",
       [](Candidate& c) {
         c.info().bmiHeader.biWidth = 640;
         c.info().bmiHeader.biHeight = 480;
         c.info().bmiHeader.biSizeImage = 640 * 480 * 2;
       },
       E_INVALIDARG},
      {"width 0", [](Candidate& c) { c.info().bmiHeader.biWidth = 0; }, E_INVALIDARG},
      {"interval 333334", [](Candidate& c) { c.info().AvgTimePerFrame = 333334; }, E_INVALIDARG},
      {"interval 0", [](Candidate& c) { c.info().AvgTimePerFrame = 0; }, E_INVALIDARG},
      {"FORMAT_VideoInfo2",
       [](Candidate& c) {
         c.type.formattype = FORMAT_VideoInfo2;
         c.block.resize(112, 0);  // a VIDEOINFOHEADER2
       },
       E_INVALIDARG},
      {"subtype RGB24", [](Candidate& c) { c.type.subtype = MEDIASUBTYPE_RGB24; }, E_INVALIDARG},
      {"major type Audio", [](Candidate& c) { c.type.majortype = MEDIATYPE_Audio; }, E_INVALIDARG},
      {"biBitCount 12", [](Candidate& c) { c.info().bmiHeader.biBitCount = 12; }, E_INVALIDARG},
      {"biBitCount 24", [](Candidate& c) { c.info().bmiHeader.biBitCount = 24; }, E_INVALIDARG},
      {"biCompression I420", [](Candidate& c) { c.info().bmiHeader.biCompression = 0x30323449; }, E_INVALIDARG},
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

TEST_F(CameraPinBuffers, ImageSizeZeroAsksForEmptyBuffers) {
  ExpectedModeType zero;
  zero.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&zero.type));
  FakeAllocator allocator;
  ALLOCATOR_PROPERTIES request = {};
  EXPECT_EQ(S_OK, stream_->SizeBuffers(&allocator, &request));
  EXPECT_EQ(0, allocator.requested.cbBuffer);
  EXPECT_EQ(1, allocator.requested.cBuffers);
}

// ---- IAMStreamConfig ----------------------------------------------------------------

using CameraStreamConfig = CameraFixture;

TEST_F(CameraStreamConfig, CapabilitiesOfTheOneMode) {
  IAMStreamConfig* config = stream_;
  int count = -1;
  int size = -1;
  EXPECT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  EXPECT_EQ(1, count);
  EXPECT_EQ(128, size);
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(nullptr, &size));
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(&count, nullptr));

  BYTE caps_bytes[160];
  std::memset(caps_bytes, 0xEE, sizeof(caps_bytes));
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(S_OK, config->GetStreamCaps(0, &type, caps_bytes));
  const ExpectedModeType expected;
  ASSERT_NE(nullptr, type);
  EXPECT_TRUE(MediaTypesEqual(expected.type, *type));
  DeleteMediaType(type);

  VIDEO_STREAM_CONFIG_CAPS caps;
  std::memcpy(&caps, caps_bytes, sizeof(caps));
  EXPECT_EQ(FORMAT_VideoInfo, caps.guid);
  EXPECT_EQ(0u, caps.VideoStandard);
  for (const SIZE& s : {caps.InputSize, caps.MinCroppingSize, caps.MaxCroppingSize, caps.MinOutputSize,
                        caps.MaxOutputSize}) {
    EXPECT_EQ(1280, s.cx);
    EXPECT_EQ(720, s.cy);
  }
  EXPECT_EQ(1280, caps.CropGranularityX);
  EXPECT_EQ(720, caps.CropGranularityY);
  EXPECT_EQ(0, caps.CropAlignX);
  EXPECT_EQ(0, caps.CropAlignY);
  EXPECT_EQ(0, caps.OutputGranularityX);
  EXPECT_EQ(0, caps.OutputGranularityY);
  EXPECT_EQ(0, caps.StretchTapsX | caps.StretchTapsY | caps.ShrinkTapsX | caps.ShrinkTapsY);
  EXPECT_EQ(333333, caps.MinFrameInterval);
  EXPECT_EQ(333333, caps.MaxFrameInterval);
  EXPECT_EQ(442368000, caps.MinBitsPerSecond);
  EXPECT_EQ(442368000, caps.MaxBitsPerSecond);
  EXPECT_TRUE(AllBytes(caps_bytes + 128, 32, 0xEE));  // nothing past the record

  for (int index : {1, -1}) {
    type = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(E_INVALIDARG, config->GetStreamCaps(index, &type, caps_bytes)) << index;
  }
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, nullptr, caps_bytes));
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, &type, nullptr));
}

TEST_F(CameraStreamConfig, SetFormatWhileStoppedAndUnconnected) {
  IAMStreamConfig* config = stream_;
  ASSERT_EQ(S_OK, filter_->JoinFilterGraph(&graph_, L"camera"));
  const ExpectedModeType mode;
  EXPECT_EQ(S_OK, config->SetFormat(const_cast<AM_MEDIA_TYPE*>(&mode.type)));
  AM_MEDIA_TYPE* current = CurrentFormat();
  EXPECT_TRUE(MediaTypesEqual(mode.type, *current));
  DeleteMediaType(current);

  ExpectedModeType zero;
  zero.info.bmiHeader.biSizeImage = 0;
  EXPECT_EQ(S_OK, config->SetFormat(&zero.type));
  current = CurrentFormat();
  EXPECT_TRUE(MediaTypesEqual(zero.type, *current));
  EXPECT_EQ(0u, reinterpret_cast<VIDEOINFOHEADER*>(current->pbFormat)->bmiHeader.biSizeImage);
  DeleteMediaType(current);
  EXPECT_EQ(0, graph_.reconnect_calls);  // not connected: nothing to reconnect
}

TEST_F(CameraStreamConfig, SetFormatRefusesWhatIsNotAListedMode) {
  IAMStreamConfig* config = stream_;
  ExpectedModeType zero;
  zero.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, config->SetFormat(&zero.type));
  ExpectedModeType small;
  small.info.bmiHeader.biWidth = 640;
  small.info.bmiHeader.biHeight = 480;
  EXPECT_EQ(E_INVALIDARG, config->SetFormat(&small.type));
  ExpectedModeType slower;
  slower.info.AvgTimePerFrame = 666666;
  EXPECT_EQ(E_INVALIDARG, config->SetFormat(&slower.type));
  AM_MEDIA_TYPE* current = CurrentFormat();
  EXPECT_TRUE(MediaTypesEqual(zero.type, *current));
  DeleteMediaType(current);
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
  EXPECT_TRUE(MediaTypesEqual(zero.type, *current));
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

TEST_F(CameraFillSample, ProducerOfAnotherFormatGivesThePlaceholder) {
  const std::vector<uint8_t> placeholder = PlaceholderBytes();
  struct {
    int32_t width, height, stride;
  } const producers[] = {{1280, 720, 2624}, {640, 480, 1280}};  // the larger section first: it is reused
  for (const auto& format : producers) {
    Producer producer(format.width, format.height, format.stride);
    ASSERT_TRUE(producer);
    producer.Write(3);
    FakeSample sample(kFrameBytes);
    ASSERT_EQ(S_OK, stream_->FillSample(&sample));
    EXPECT_TRUE(BytesEqual(sample, placeholder)) << format.width << " stride " << format.stride;
    EXPECT_EQ(kFrameBytes, sample.actual_length);
  }
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

TEST_F(CameraFillSample, ImageSizeZeroWritesNothingButStampsTheSample) {
  ExpectedModeType zero;
  zero.info.bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&zero.type));
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  producer.Write(6);
  FakeSample sample(kFrameBytes, 0x22);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_EQ(0, sample.actual_length);
  EXPECT_TRUE(AllBytes(sample.data(), kFrameBytes, 0x22));
  EXPECT_EQ(0, sample.start_time);
  EXPECT_EQ(kPeriod, sample.end_time);
  EXPECT_EQ(TRUE, sample.discontinuity);
}

// An adopted type may carry an image size larger than one frame: the producer frame
// fills the start, the rest stays as it was, and the sample still reports the whole
// image size (a fixed-size stream).
TEST_F(CameraFillSample, LargerImageSizeTakesTheFrameAndReportsTheImageSize) {
  constexpr LONG kExtra = 64;
  ExpectedModeType larger;
  larger.info.bmiHeader.biSizeImage = kFrameBytes + kExtra;
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(&larger.type));
  Producer producer(1280, 720, 2560);
  ASSERT_TRUE(producer);
  const std::vector<uint8_t> frame = producer.Write(7);
  FakeSample sample(kFrameBytes + kExtra, 0x44);
  ASSERT_EQ(S_OK, stream_->FillSample(&sample));
  EXPECT_TRUE(BytesEqual(sample, frame));
  EXPECT_TRUE(AllBytes(sample.data() + kFrameBytes, kExtra, 0x44));
  EXPECT_EQ(kFrameBytes + kExtra, sample.actual_length);
  EXPECT_TRUE(sample.GuardIntact());

  // The same image size in a buffer one frame long: clamped to what the buffer holds.
  FakeSample exact(kFrameBytes, 0x44);
  ASSERT_EQ(S_OK, stream_->FillSample(&exact));
  EXPECT_TRUE(BytesEqual(exact, frame));
  EXPECT_EQ(kFrameBytes, exact.actual_length);
  EXPECT_TRUE(exact.GuardIntact());
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
