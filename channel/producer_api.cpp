// The four exported producer functions: plain C, never throwing, failures as 0/null.
#include "VeltranoVirtualCamera.h"

#include <new>

#include "channel/frame_producer.h"
#include "channel/frame_section_layout.h"
#include "channel/frame_section_query.h"

// The opaque handle the host holds is the producer record itself.
struct VeltranoVirtualCameraProducer {
  veltrano::channel::FrameProducer producer;
};

extern "C" {

VeltranoVirtualCameraProducer* VELTRANO_API VeltranoVirtualCamera_CreateProducer(int32_t width, int32_t height,
                                                                                int32_t stride, uint64_t tag) {
  auto* handle = new (std::nothrow) VeltranoVirtualCameraProducer;
  if (!handle) return nullptr;
  if (!handle->producer.Create(width, height, stride, tag)) {
    delete handle;
    return nullptr;
  }
  return handle;
}

int32_t VELTRANO_API VeltranoVirtualCamera_WriteFrame(VeltranoVirtualCameraProducer* producer, const void* data,
                                                     uint32_t byte_count, uint64_t stamp) {
  if (!producer) return 0;
  return producer->producer.WriteFrame(data, byte_count, stamp) ? 1 : 0;
}

void VELTRANO_API VeltranoVirtualCamera_CloseProducer(VeltranoVirtualCameraProducer* producer) {
  if (!producer) return;
  producer->producer.TearDown();
  delete producer;
}

int32_t VELTRANO_API VeltranoVirtualCamera_GetCurrentFormat(int32_t* width, int32_t* height, int32_t* stride,
                                                           uint64_t* tag) {
  veltrano::channel::FrameSectionFormat format;
  if (!veltrano::channel::QueryFrameSection(&format)) return 0;
  if (width) *width = format.width;
  if (height) *height = format.height;
  if (stride) *stride = format.stride;
  if (tag) *tag = format.tag;
  return format.state == veltrano::channel::kStateStreaming ? 1 : 0;
}

}  // extern "C"
