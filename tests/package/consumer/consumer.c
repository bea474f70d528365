/* Calls every producer function through the import library with arguments that a
 * wrong calling convention or a wrong import would garble. Exit code 0 on success. */
#include <stdint.h>
#include <stdlib.h>

#include <VeltranoVirtualCamera.h>

int main(void) {
  enum { kWidth = 1280, kHeight = 720, kStride = 2560 };
  const uint64_t tag = 0xF00DFACE12345678ull;
  int32_t width = 0, height = 0, stride = 0;
  uint64_t read_tag = 0;
  unsigned char* frame = calloc((size_t)kStride * kHeight, 1);
  VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, kStride, tag);
  if (!frame || !producer) return 2;
  const int32_t written = VeltranoVirtualCamera_WriteFrame(producer, frame, (uint32_t)kStride * kHeight, tag);
  const int32_t streaming = VeltranoVirtualCamera_GetCurrentFormat(&width, &height, &stride, &read_tag);
  VeltranoVirtualCamera_CloseProducer(producer);
  free(frame);
  if (written != 1) return 3;
  if (streaming != 1 || width != kWidth || height != kHeight || stride != kStride || read_tag != tag) return 4;
  return 0;
}
