#include "capture_graph.h"

#include "common/com_test_helpers.h"
#include "e2e_support.h"

namespace veltrano::test {

using platform::ComPtr;

CaptureGraph::~CaptureGraph() {
  if (control_) control_->Stop();
  if (grabber_) grabber_->SetCallback(nullptr, 0);
}

HRESULT CaptureGraph::Create(IMoniker* moniker, const GUID& subtype) {
  HRESULT hr = ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph_.put_void());
  if (FAILED(hr)) return hr;
  hr = graph_.As(&control_);
  if (FAILED(hr)) return hr;
  hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, camera_.put_void());
  if (FAILED(hr)) return hr;
  hr = graph_->AddFilter(camera_.get(), L"Veltrano Virtual Camera");
  if (FAILED(hr)) return hr;

  hr = ::CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          grabber_filter_.put_void());
  if (FAILED(hr)) return hr;
  hr = grabber_filter_.As(&grabber_);
  if (FAILED(hr)) return hr;
  AM_MEDIA_TYPE type = {};
  type.majortype = MEDIATYPE_Video;
  type.subtype = subtype;
  hr = grabber_->SetMediaType(&type);
  if (FAILED(hr)) return hr;
  hr = grabber_->SetBufferSamples(FALSE);
  if (FAILED(hr)) return hr;
  hr = grabber_->SetCallback(&frames_, 0);  // 0: SampleCB
  if (FAILED(hr)) return hr;
  hr = graph_->AddFilter(grabber_filter_.get(), L"Sample Grabber");
  if (FAILED(hr)) return hr;

  hr = ::CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          renderer_.put_void());
  if (FAILED(hr)) return hr;
  return graph_->AddFilter(renderer_.get(), L"Null Renderer");
}

HRESULT CaptureGraph::ConnectWithRenderStream(const GUID* category) {
  ComPtr<ICaptureGraphBuilder2> builder;
  HRESULT hr = ::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICaptureGraphBuilder2, builder.put_void());
  if (FAILED(hr)) return hr;
  hr = builder->SetFiltergraph(graph_.get());
  if (FAILED(hr)) return hr;
  ComPtr<IPin> pin = FindPin(camera_.get(), PINDIR_OUTPUT);
  if (!pin) return E_FAIL;
  // With a category the source is the filter (the builder finds the pin by its
  // category); without one it is the pin itself.
  IUnknown* source = category ? static_cast<IUnknown*>(camera_.get()) : static_cast<IUnknown*>(pin.get());
  return builder->RenderStream(category, category ? &MEDIATYPE_Video : nullptr, source, grabber_filter_.get(),
                               renderer_.get());
}

HRESULT CaptureGraph::ConnectDirect() {
  ComPtr<IPin> camera_pin = FindPin(camera_.get(), PINDIR_OUTPUT);
  ComPtr<IPin> grabber_in = FindPin(grabber_filter_.get(), PINDIR_INPUT);
  ComPtr<IPin> grabber_out = FindPin(grabber_filter_.get(), PINDIR_OUTPUT);
  ComPtr<IPin> renderer_in = FindPin(renderer_.get(), PINDIR_INPUT);
  if (!camera_pin || !grabber_in || !grabber_out || !renderer_in) return E_FAIL;
  HRESULT hr = graph_->ConnectDirect(camera_pin.get(), grabber_in.get(), nullptr);
  if (FAILED(hr)) return hr;
  return graph_->ConnectDirect(grabber_out.get(), renderer_in.get(), nullptr);
}

HRESULT CaptureGraph::Run() { return control_->Run(); }
HRESULT CaptureGraph::Stop() { return control_->Stop(); }

int CaptureGraph::FilterCount() {
  ComPtr<IEnumFilters> filters;
  if (FAILED(graph_->EnumFilters(filters.put()))) return -1;
  int count = 0;
  ComPtr<IBaseFilter> filter;
  while (filters->Next(1, filter.put(), nullptr) == S_OK) ++count;
  return count;
}

}  // namespace veltrano::test
