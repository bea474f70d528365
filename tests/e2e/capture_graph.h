// One capture graph as a capture application builds it: the camera (bound from its
// device moniker), qedit's sample grabber with our callback, and the null renderer.
// Used on the test thread only; the grabber's callback runs on the camera's worker.
#pragma once

#include <dshow.h>
#include <qedit.h>

#include "frame_grabber.h"
#include "platform/com_ptr.h"

namespace veltrano::test {

class CaptureGraph {
 public:
  CaptureGraph() = default;
  CaptureGraph(const CaptureGraph&) = delete;
  CaptureGraph& operator=(const CaptureGraph&) = delete;
  ~CaptureGraph();

  //! Creates the graph, binds the camera from `moniker` and adds the three filters;
  //! the grabber takes video of `subtype` only.
  HRESULT Create(IMoniker* moniker, const GUID& subtype = MEDIASUBTYPE_YUY2);
  //! ICaptureGraphBuilder2::RenderStream(category, video, camera pin, grabber, renderer).
  HRESULT ConnectWithRenderStream(const GUID* category);
  //! IGraphBuilder::ConnectDirect: camera pin to grabber, grabber to renderer.
  HRESULT ConnectDirect();

  HRESULT Run();
  HRESULT Stop();
  //! Number of filters in the graph.
  int FilterCount();

  FrameGrabber& frames() { return frames_; }
  IGraphBuilder* graph() const { return graph_.get(); }
  IBaseFilter* camera() const { return camera_.get(); }
  ISampleGrabber* grabber() const { return grabber_.get(); }

 private:
  FrameGrabber frames_;  // declared first: outlives the grabber's reference
  platform::ComPtr<IGraphBuilder> graph_;
  platform::ComPtr<IMediaControl> control_;
  platform::ComPtr<IBaseFilter> camera_;
  platform::ComPtr<IBaseFilter> grabber_filter_;
  platform::ComPtr<ISampleGrabber> grabber_;
  platform::ComPtr<IBaseFilter> renderer_;
};

}  // namespace veltrano::test
