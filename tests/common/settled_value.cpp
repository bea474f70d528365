// The bounded wait for a count to hold still.
#include "common/settled_value.h"

namespace veltrano::test {

LONG SettledValue(const std::function<LONG()>& read, DWORD quiet_ms, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  LONG value = read();
  ULONGLONG still_since = ::GetTickCount64();
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (now - still_since >= quiet_ms || now >= deadline) return value;
    ::Sleep(5);
    const LONG next = read();
    if (next != value) {
      value = next;
      still_since = ::GetTickCount64();
    }
  }
}

}  // namespace veltrano::test
