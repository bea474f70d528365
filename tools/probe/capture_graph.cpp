#include "tools/probe/capture_graph.h"

#include "tools/probe/device_enumerator.h"

// Defined in libstrmiids; mingw-w64's qedit.h declares the interfaces only.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

namespace veltrano::tools {

using platform::ComPtr;

namespace {

HRESULT Step(HRESULT hr, const wchar_t* name, std::wstring* step) {
  if (FAILED(hr)) *step = name;
  return hr;
}

HRESULT FirstPin(IBaseFilter* filter, PIN_DIRECTION wanted, ComPtr<IPin>* found) {
  ComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(pins.put());
  if (FAILED(hr)) return hr;
  ComPtr<IPin> pin;
  while (pins->Next(1, pin.put(), nullptr) == S_OK) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) {
      *found = pin;
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

}  // namespace

CaptureGraph::~CaptureGraph() {
  if (control_) control_->Stop();
  // The grabber holds a reference on our callback; drop it before the graph goes.
  if (grabber_) grabber_->SetCallback(nullptr, 0);
}

HRESULT CaptureGraph::Build(IBaseFilter* device, ConnectMode mode, const GUID& subtype, std::wstring* step) {
  HRESULT hr = Step(::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                       graph_.put_void()),
                    L"CoCreateInstance(CLSID_FilterGraph)", step);
  if (FAILED(hr)) return hr;
  hr = Step(::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                               builder_.put_void()),
            L"CoCreateInstance(CLSID_CaptureGraphBuilder2)", step);
  if (FAILED(hr)) return hr;
  hr = Step(builder_->SetFiltergraph(graph_.get()), L"ICaptureGraphBuilder2::SetFiltergraph", step);
  if (FAILED(hr)) return hr;
  hr = Step(graph_->AddFilter(device, L"Video Capture"), L"IFilterGraph::AddFilter(device)", step);
  if (FAILED(hr)) return hr;

  hr = Step(::CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               grabber_filter_.put_void()),
            L"CoCreateInstance(CLSID_SampleGrabber)", step);
  if (FAILED(hr)) return hr;
  hr = Step(grabber_filter_.As(&grabber_), L"QueryInterface(ISampleGrabber)", step);
  if (FAILED(hr)) return hr;
  AM_MEDIA_TYPE wanted = {};
  wanted.majortype = MEDIATYPE_Video;
  wanted.subtype = subtype;
  wanted.formattype = FORMAT_VideoInfo;
  hr = Step(grabber_->SetMediaType(&wanted), L"ISampleGrabber::SetMediaType", step);
  if (FAILED(hr)) return hr;
  grabber_->SetBufferSamples(FALSE);
  grabber_->SetOneShot(FALSE);
  hr = Step(graph_->AddFilter(grabber_filter_.get(), L"Sample Grabber"), L"IFilterGraph::AddFilter(grabber)", step);
  if (FAILED(hr)) return hr;
  hr = Step(::CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               renderer_.put_void()),
            L"CoCreateInstance(CLSID_NullRenderer)", step);
  if (FAILED(hr)) return hr;
  hr = Step(graph_->AddFilter(renderer_.get(), L"Null Renderer"), L"IFilterGraph::AddFilter(null renderer)", step);
  if (FAILED(hr)) return hr;

  ComPtr<IPin> capture_pin;
  hr = Step(FindCapturePin(device, &capture_pin), L"finding the device's capture pin", step);
  if (FAILED(hr)) return hr;
  switch (mode) {
    case ConnectMode::kRender:
      // No category and the pin itself as source: Wine's RenderStream then connects
      // straight to the grabber. With a category it inserts its Smart Tee, which
      // takes a second buffer from the device's one-buffer allocator per sample and
      // stalls.
      hr = Step(builder_->RenderStream(nullptr, &MEDIATYPE_Video, capture_pin.get(), grabber_filter_.get(),
                                       renderer_.get()),
                L"ICaptureGraphBuilder2::RenderStream(no category)", step);
      break;
    case ConnectMode::kCapture:
      hr = Step(builder_->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device, grabber_filter_.get(),
                                       renderer_.get()),
                L"ICaptureGraphBuilder2::RenderStream(PIN_CATEGORY_CAPTURE)", step);
      break;
    case ConnectMode::kDirect: {
      ComPtr<IPin> grabber_in;
      ComPtr<IPin> grabber_out;
      ComPtr<IPin> renderer_in;
      hr = Step(FirstPin(grabber_filter_.get(), PINDIR_INPUT, &grabber_in), L"grabber input pin", step);
      if (SUCCEEDED(hr)) hr = Step(FirstPin(grabber_filter_.get(), PINDIR_OUTPUT, &grabber_out), L"grabber output pin", step);
      if (SUCCEEDED(hr)) hr = Step(FirstPin(renderer_.get(), PINDIR_INPUT, &renderer_in), L"renderer input pin", step);
      if (SUCCEEDED(hr)) {
        hr = Step(graph_->ConnectDirect(capture_pin.get(), grabber_in.get(), nullptr),
                  L"IGraphBuilder::ConnectDirect(device, grabber)", step);
      }
      if (SUCCEEDED(hr)) {
        hr = Step(graph_->ConnectDirect(grabber_out.get(), renderer_in.get(), nullptr),
                  L"IGraphBuilder::ConnectDirect(grabber, renderer)", step);
      }
      break;
    }
  }
  if (FAILED(hr)) return hr;
  hr = Step(graph_.As(&control_), L"QueryInterface(IMediaControl)", step);
  if (FAILED(hr)) return hr;
  return Step(graph_.As(IID_IMediaEvent, events_.put_void()), L"QueryInterface(IMediaEvent)", step);
}

HRESULT CaptureGraph::ConnectedFormat(long* width, long* height, REFERENCE_TIME* frame_interval, GUID* subtype) {
  AM_MEDIA_TYPE type = {};
  HRESULT hr = grabber_->GetConnectedMediaType(&type);
  if (FAILED(hr)) return hr;
  hr = VFW_E_INVALIDMEDIATYPE;
  if (type.formattype == FORMAT_VideoInfo && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
    *width = info->bmiHeader.biWidth;
    *height = info->bmiHeader.biHeight;
    *frame_interval = info->AvgTimePerFrame;
    *subtype = type.subtype;
    hr = S_OK;
  }
  if (type.cbFormat) ::CoTaskMemFree(type.pbFormat);
  if (type.pUnk) type.pUnk->Release();
  return hr;
}

HRESULT CaptureGraph::SetCallback(ISampleGrabberCB* callback) {
  // Mode 0: SampleCB with the sample itself, so the callback sees its times.
  return grabber_->SetCallback(callback, 0);
}

HRESULT CaptureGraph::Run() { return control_->Run(); }

HRESULT CaptureGraph::Stop() { return control_->Stop(); }

HRESULT CaptureGraph::NextEvent(DWORD milliseconds, long* code) {
  LONG_PTR first = 0;
  LONG_PTR second = 0;
  const HRESULT hr = events_->GetEvent(code, &first, &second, milliseconds);
  if (FAILED(hr)) return hr;
  events_->FreeEventParams(*code, first, second);
  return S_OK;
}

}  // namespace veltrano::tools
