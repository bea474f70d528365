// The sink pin fake and its media type enumerator.
#include "camera_fakes.h"

#include <cstring>

#include "camera/capture_mode.h"
#include "framework/media_type_record.h"

namespace veltrano::test {
namespace {

// A caller-owned copy of `type` (task memory), as IEnumMediaTypes::Next hands out.
AM_MEDIA_TYPE* TaskMemCopy(const AM_MEDIA_TYPE& type) {
  auto* copy = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (copy) framework::DuplicateMediaType(copy, &type);
  return copy;
}

void FillVideoInfo(framework::CMediaTypeRecord* type, const GUID& subtype, DWORD compression, WORD bits, LONG width,
                   LONG height) {
  BYTE* block = type->EnsureFormatBlock(sizeof(VIDEOINFOHEADER));
  std::memset(block, 0, sizeof(VIDEOINFOHEADER));
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(block);
  info->AvgTimePerFrame = 333333;
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biWidth = width;
  info->bmiHeader.biHeight = height;
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = bits;
  info->bmiHeader.biCompression = compression;
  info->bmiHeader.biSizeImage = static_cast<DWORD>(width * height * bits / 8);
  type->majortype = MEDIATYPE_Video;
  type->subtype = subtype;
  type->formattype = FORMAT_VideoInfo;
  type->lSampleSize = info->bmiHeader.biSizeImage;
}

// Lists a fixed set of types; each Next hands out task-memory copies.
class FakeTypeEnumerator final : public IEnumMediaTypes {
 public:
  explicit FakeTypeEnumerator(SinkTypes kind) : kind_(kind) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumMediaTypes) {
      *out = static_cast<IEnumMediaTypes*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG count = InterlockedDecrement(&refs_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }
  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
    ULONG done = 0;
    while (done < count && position_ < Count()) {
      framework::CMediaTypeRecord type;
      Build(position_++, &type);
      types[done++] = TaskMemCopy(type);
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    position_ += count;
    return position_ <= Count() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumMediaTypes**) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

 private:
  ULONG Count() const {
    switch (kind_) {
      case SinkTypes::kNone: return 0;
      case SinkTypes::kPartialVideo: return 1;
      case SinkTypes::kOthersFirst: return 3;
    }
    return 0;
  }
  void Build(ULONG position, framework::CMediaTypeRecord* type) const {
    if (kind_ == SinkTypes::kPartialVideo) {
      type->majortype = MEDIATYPE_Video;  // nothing else: no format block at all
      return;
    }
    if (position == 0) {
      FillVideoInfo(type, MEDIASUBTYPE_RGB24, BI_RGB, 24, 640, 480);
    } else if (position == 1) {
      static const GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
      FillVideoInfo(type, kI420, 0x30323449, 12, 1280, 720);
    } else {
      camera::BuildModeMediaType(camera::kDefaultCaptureMode, type);
    }
  }

  SinkTypes kind_;
  ULONG position_ = 0;
  LONG refs_ = 1;
};

}  // namespace

FakeSinkPin::FakeSinkPin() : sample_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

FakeSinkPin::~FakeSinkPin() {
  if (connector_) connector_->Release();
}

STDMETHODIMP FakeSinkPin::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPin) {
    *out = static_cast<IPin*>(this);
  } else if (iid == IID_IMemInputPin) {
    *out = static_cast<IMemInputPin*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP FakeSinkPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  if (!connector || !type) return E_POINTER;
  if (connector_) return VFW_E_ALREADY_CONNECTED;
  if (accept_only_yuy2 &&
      (type->subtype != MEDIASUBTYPE_YUY2 || type->formattype != FORMAT_VideoInfo ||
       type->cbFormat < sizeof(VIDEOINFOHEADER) || !type->pbFormat)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  Log("ReceiveConnection");
  connector_ = connector;
  connector_->AddRef();
  stored_type_ = *type;  // shallow, as some applications' sinks keep it
  return S_OK;
}

STDMETHODIMP FakeSinkPin::Disconnect() {
  Log("Disconnect");
  if (!connector_) return S_FALSE;
  connector_->Release();
  connector_ = nullptr;
  stored_type_ = {};
  allocator_.reset();
  return S_OK;
}

STDMETHODIMP FakeSinkPin::ConnectedTo(IPin** out) {
  if (!out) return E_POINTER;
  *out = connector_;
  if (!connector_) return VFW_E_NOT_CONNECTED;
  connector_->AddRef();
  return S_OK;
}

STDMETHODIMP FakeSinkPin::ConnectionMediaType(AM_MEDIA_TYPE* out) {
  if (!out) return E_POINTER;
  if (!connector_) return VFW_E_NOT_CONNECTED;
  return framework::DuplicateMediaType(out, &stored_type_);
}

STDMETHODIMP FakeSinkPin::QueryPinInfo(PIN_INFO* out) {
  if (!out) return E_POINTER;
  out->pFilter = nullptr;
  out->dir = PINDIR_INPUT;
  wcscpy_s(out->achName, L"Sink");
  return S_OK;
}

STDMETHODIMP FakeSinkPin::QueryDirection(PIN_DIRECTION* out) {
  if (!out) return E_POINTER;
  *out = PINDIR_INPUT;
  return S_OK;
}

STDMETHODIMP FakeSinkPin::EnumMediaTypes(IEnumMediaTypes** out) {
  if (!out) return E_POINTER;
  *out = new FakeTypeEnumerator(types);
  return S_OK;
}

STDMETHODIMP FakeSinkPin::EndOfStream() {
  Log("EndOfStream");
  return S_OK;
}

STDMETHODIMP FakeSinkPin::BeginFlush() {
  Log("BeginFlush");
  if (allocator_) {
    IMediaSample* sample = nullptr;
    const HRESULT hr = allocator_->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT);
    committed_at_begin_flush = hr != VFW_E_NOT_COMMITTED;
    if (sample) sample->Release();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (worker_thread_) worker_alive_at_begin_flush = WaitForSingleObject(worker_thread_.get(), 0) == WAIT_TIMEOUT;
  return S_OK;
}

STDMETHODIMP FakeSinkPin::EndFlush() {
  Log("EndFlush");
  std::lock_guard<std::mutex> lock(mutex_);
  if (worker_thread_) worker_alive_at_end_flush = WaitForSingleObject(worker_thread_.get(), 0) == WAIT_TIMEOUT;
  return S_OK;
}

STDMETHODIMP FakeSinkPin::GetAllocator(IMemAllocator** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return VFW_E_NO_ALLOCATOR;
}

STDMETHODIMP FakeSinkPin::NotifyAllocator(IMemAllocator* allocator, BOOL) {
  allocator_ = platform::ComPtr<IMemAllocator>(allocator);
  return S_OK;
}

STDMETHODIMP FakeSinkPin::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  Received record = {};
  record.real_time = camera::QueryRealTime();
  record.discontinuity = sample->IsDiscontinuity() == S_OK;
  if (FAILED(sample->GetTime(&record.start, &record.end))) record.start = record.end = -1;
  record.length = sample->GetActualDataLength();
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  if (data && record.length >= static_cast<LONG>(sizeof(record.first_bytes))) {
    std::memcpy(record.first_bytes, data, sizeof(record.first_bytes));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!worker_thread_) worker_thread_.reset(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
    received_.push_back(record);
  }
  SetEvent(sample_event_.get());
  // Applications' sinks drop anything shorter than a full frame and say so.
  return record.length < kFullFrame ? S_FALSE : S_OK;
}

STDMETHODIMP FakeSinkPin::ReceiveMultiple(IMediaSample** samples, long count, long* processed) {
  long done = 0;
  HRESULT hr = S_OK;
  while (done < count && hr == S_OK) hr = Receive(samples[done++]);
  if (processed) *processed = done;
  return hr;
}

bool FakeSinkPin::WaitForSamples(size_t count, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (received_.size() >= count) return true;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(sample_event_.get(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 100)));
  }
}

std::vector<FakeSinkPin::Received> FakeSinkPin::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> FakeSinkPin::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void FakeSinkPin::Log(const char* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
}

}  // namespace veltrano::test
