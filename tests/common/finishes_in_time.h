// Runs a call that might hang (a lock-order or protocol fault) on a helper thread and
// waits for it for a bounded time, so the fault shows up as a failed test rather than
// a hung test executable. Safe to use from any test thread.
#pragma once

#include <windows.h>

#include <functional>

namespace veltrano::test {

//! True when `call` returned within `timeout_ms`. On a time-out the helper thread is
//! left running (the test is failing anyway); whatever `call` captured by reference
//! must then outlive the process's remaining tests, as it does for fixture members.
bool FinishesInTime(std::function<void()> call, DWORD timeout_ms = 10000);

}  // namespace veltrano::test
