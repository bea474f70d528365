/*
 * VeltranoVirtualCamera.h - producer API of the Veltrano Virtual Camera.
 *
 * A host application (the producer) loads VeltranoVirtualCamera.dll and pushes
 * finished video frames to every capture application that has the camera open.
 * Frames are packed YUY2 (bytes Y0 U Y1 V per pixel pair), rows top to bottom, of any
 * even width from 2 to 3840 and any height from 2 to 2160, with a stride of at least
 * 2 * width bytes (row padding is never read). Each capture application sees them
 * scaled (aspect ratio kept, black bars where the shapes differ) and converted to the
 * size, pixel format and rate it chose; 1280 x 720 YUY2 is the default and is copied
 * without conversion. Frames of any other size are accepted by WriteFrame, but
 * capture applications see the camera's placeholder picture instead.
 *
 * One producer may exist at a time in a logon session. All functions are plain C,
 * never throw, and report failure as 0 or null.
 *
 * Handles: a handle is an opaque value, not an address. Only live handles that this
 * module returned in this process are acted on; any other value (a handle closed
 * already, a value from another process, any pointer) makes WriteFrame return 0 and
 * CloseProducer do nothing, and the memory it might name is never touched. A second
 * CloseProducer of the same handle is therefore harmless.
 */
#ifndef VELTRANO_VIRTUAL_CAMERA_H_
#define VELTRANO_VIRTUAL_CAMERA_H_

#include <stdint.h>

/*
 * Calling convention of the four functions. On 32-bit x86 it is stdcall, the
 * convention of the Windows C APIs and the one C# P/Invoke (CallingConvention.Winapi)
 * and Python's ctypes.WinDLL assume by default; the exports still carry the plain
 * names below, undecorated. x64 has a single calling convention.
 */
#if defined(_M_IX86) || defined(__i386__)
#define VELTRANO_API __stdcall
#else
#define VELTRANO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque producer handle. */
typedef struct VeltranoVirtualCameraProducer VeltranoVirtualCameraProducer;

/*
 * Creates the producer and announces the frame format.
 *   width, height: pixels and rows; stride: bytes per row (2 * width for packed YUY2,
 *          more for padded rows). See the top of this file for the sizes shown.
 *   tag: any non-zero 64-bit value; other processes can read it back with
 *        VeltranoVirtualCamera_GetCurrentFormat; a value unique to this producer (its
 *        process id, for example) lets other processes tell hosts apart.
 * Returns the handle, owned by the caller until VeltranoVirtualCamera_CloseProducer,
 * or null when an argument is zero or negative, the frame does not fit in 32-bit sizes,
 * another producer is running (in any process of the session), or the system refuses.
 * Call it on the thread that will later close the producer: the single-producer lock
 * belongs to that thread. When an earlier producer's section is still held by capture
 * applications and is too small for this frame, the call marks it closed and waits
 * until they let go of it (one or two of their frame periods). An application that
 * never lets go (a stalled one) makes it return null after about 2 s, and the earlier
 * section is then left as it was.
 */
VeltranoVirtualCameraProducer* VELTRANO_API VeltranoVirtualCamera_CreateProducer(int32_t width, int32_t height,
                                                                                int32_t stride, uint64_t tag);

/*
 * Publishes one frame of height * stride bytes (only that many are read).
 *   byte_count: size of the buffer at data; smaller than height * stride is refused.
 *   stamp: any 64-bit value stored with the frame (for example a timestamp); the camera
 *          does not read it.
 * Returns 1 when the frame was published, 0 when nothing was written (null data, buffer
 * too small, a handle that is not live, or a handle superseded by a newer
 * CreateProducer, including one in another process that took over after this
 * producer's creating thread ended). Never waits for capture applications; a
 * CloseProducer of the same handle on another thread waits for a write in progress.
 * Call from one thread at a time per handle.
 */
int32_t VELTRANO_API VeltranoVirtualCamera_WriteFrame(VeltranoVirtualCameraProducer* producer, const void* data,
                                                     uint32_t byte_count, uint64_t stamp);

/*
 * Marks the stream closed (capture applications return to the placeholder), releases
 * everything and frees the handle. A null handle, or one that is not live (see
 * "Handles" above), is ignored. Call it on the thread that
 * created the producer, or the single-producer lock is held until that thread ends.
 * A superseded handle closes without touching the stream of the producer that took
 * its place.
 */
void VELTRANO_API VeltranoVirtualCamera_CloseProducer(VeltranoVirtualCameraProducer* producer);

/*
 * Reads the format announced by the current (or last) producer. Any pointer may be
 * null. Returns 1 when a producer is streaming (has published a frame and not closed),
 * else 0; the outputs are filled whenever a producer's section exists and are left
 * untouched when none does. Any thread of any process, no handle needed.
 */
int32_t VELTRANO_API VeltranoVirtualCamera_GetCurrentFormat(int32_t* width, int32_t* height, int32_t* stride,
                                                           uint64_t* tag);

#ifdef __cplusplus
}
#endif

#endif /* VELTRANO_VIRTUAL_CAMERA_H_ */
