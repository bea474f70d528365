// Calls a function with the stack at each 4-byte offset from a 16-byte boundary, as
// 32-bit Windows programs may call into the module (threads, callbacks, COM calls).
// Any thread.
#pragma once

namespace veltrano::test {

//! Calls `call(context)` with the stack moved by a further `skew` bytes (0, 4, 8 or 12
//! give the four offsets on x86; on x64 the ABI keeps it 16-byte aligned anyway).
void CallWithSkewedStack(void (*call)(void*), void* context, unsigned skew);

}  // namespace veltrano::test
