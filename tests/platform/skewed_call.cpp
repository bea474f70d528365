// Built on x86 with a preferred stack boundary of 4 bytes, so that nothing here pads
// or realigns the stack before the call.
#include "skewed_call.h"

#include <malloc.h>

namespace veltrano::test {

void CallWithSkewedStack(void (*call)(void*), void* context, unsigned skew) {
  volatile char* pad = static_cast<volatile char*>(_alloca(skew + 1));
  pad[0] = 0;
  call(context);
}

}  // namespace veltrano::test
