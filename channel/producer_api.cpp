// The four exported producer functions: plain C, never throwing, failures as 0/null.
#include "VeltranoVirtualCamera.h"

#include "channel/frame_section_layout.h"
#include "channel/frame_section_query.h"
#include "channel/producer_handle_table.h"

using veltrano::channel::ProducerHandleTable;

namespace {

// The handle a host holds is a value of the handle table, never the producer's address.
uintptr_t HandleValue(VeltranoVirtualCameraProducer* producer) noexcept {
  return reinterpret_cast<uintptr_t>(producer);
}

}  // namespace

extern "C" {

VeltranoVirtualCameraProducer* VELTRANO_API VeltranoVirtualCamera_CreateProducer(int32_t width, int32_t height,
                                                                                int32_t stride, uint64_t tag) {
  const uintptr_t handle = ProducerHandleTable::Instance().Create(width, height, stride, tag);
  return reinterpret_cast<VeltranoVirtualCameraProducer*>(handle);
}

int32_t VELTRANO_API VeltranoVirtualCamera_WriteFrame(VeltranoVirtualCameraProducer* producer, const void* data,
                                                     uint32_t byte_count, uint64_t stamp) {
  if (!producer) return 0;
  return ProducerHandleTable::Instance().WriteFrame(HandleValue(producer), data, byte_count, stamp) ? 1 : 0;
}

void VELTRANO_API VeltranoVirtualCamera_CloseProducer(VeltranoVirtualCameraProducer* producer) {
  if (!producer) return;
  // A handle closed already, or never ours, is ignored.
  ProducerHandleTable::Instance().Close(HandleValue(producer));
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
