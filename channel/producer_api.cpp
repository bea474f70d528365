// The four exported producer functions: plain C, never throwing, failures as 0/null.
#include "VeltranoVirtualCamera.h"

#include <new>

#include "channel/frame_producer.h"
#include "channel/frame_section_layout.h"
#include "channel/frame_section_query.h"
#include "channel/producer_handle_table.h"

using veltrano::channel::FrameProducer;
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
  auto* producer = new (std::nothrow) FrameProducer;
  if (!producer) return nullptr;
  if (!producer->Create(width, height, stride, tag)) {
    delete producer;
    return nullptr;
  }
  const uintptr_t handle = ProducerHandleTable::Instance().Add(producer);
  return reinterpret_cast<VeltranoVirtualCameraProducer*>(handle);
}

int32_t VELTRANO_API VeltranoVirtualCamera_WriteFrame(VeltranoVirtualCameraProducer* producer, const void* data,
                                                     uint32_t byte_count, uint64_t stamp) {
  if (!producer) return 0;
  return ProducerHandleTable::Instance().WriteFrame(HandleValue(producer), data, byte_count, stamp) ? 1 : 0;
}

void VELTRANO_API VeltranoVirtualCamera_CloseProducer(VeltranoVirtualCameraProducer* producer) {
  if (!producer) return;
  FrameProducer* live = ProducerHandleTable::Instance().Remove(HandleValue(producer));
  if (!live) return;  // closed already, or never ours
  live->TearDown();
  delete live;
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
