// Waits for a count that another thread may still be raising to settle: a worker just
// past its last look at a Pause may still finish the sample it had begun after the
// call that paused it returned. Safe to use from any test thread.
#pragma once

#include <windows.h>

#include <functional>

namespace veltrano::test {

//! The value of `read` once it has held still for `quiet_ms`; after `timeout_ms` in
//! all, the value as it stands (a count that never settles fails the check that
//! follows).
LONG SettledValue(const std::function<LONG()>& read, DWORD quiet_ms, DWORD timeout_ms = 10000);

}  // namespace veltrano::test
