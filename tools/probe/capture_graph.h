// The capture graph a capture application builds: filter graph, capture graph
// builder, the device filter, a sample grabber (video of one subtype) with our
// callback, and a null renderer. Built, run and stopped on the main thread; the graph's streaming
// thread calls the grabber callback.
#pragma once

#include <dshow.h>
#include <qedit.h>

#include <string>

#include "platform/com_ptr.h"
#include "tools/probe/probe_options.h"

namespace veltrano::tools {

class CaptureGraph {
 public:
  CaptureGraph() = default;
  CaptureGraph(const CaptureGraph&) = delete;
  CaptureGraph& operator=(const CaptureGraph&) = delete;
  ~CaptureGraph();

  //! Builds the graph around `device`, the grabber taking video of `subtype` only.
  //! On failure `step` names the call that failed.
  HRESULT Build(IBaseFilter* device, ConnectMode mode, const GUID& subtype, std::wstring* step);

  //! The media type agreed between the device pin and the grabber; `height` is the
  //! biHeight as it stands (negative for a top-down RGB type).
  HRESULT ConnectedFormat(long* width, long* height, REFERENCE_TIME* frame_interval, GUID* subtype);

  HRESULT SetCallback(ISampleGrabberCB* callback);
  HRESULT Run();
  //! Stops the graph; Stop of a filter graph waits for every streaming thread.
  HRESULT Stop();
  //! Waits up to `milliseconds` for a graph event; S_OK with the code, or
  //! E_ABORT (time-out) when there is none.
  HRESULT NextEvent(DWORD milliseconds, long* code);

 private:
  platform::ComPtr<IGraphBuilder> graph_;
  platform::ComPtr<ICaptureGraphBuilder2> builder_;
  platform::ComPtr<IBaseFilter> grabber_filter_;
  platform::ComPtr<ISampleGrabber> grabber_;
  platform::ComPtr<IBaseFilter> renderer_;
  platform::ComPtr<IMediaControl> control_;
  platform::ComPtr<IMediaEvent> events_;
};

}  // namespace veltrano::tools
