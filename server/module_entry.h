// COM entry of the module: DllGetClassObject hands out class factories and
// DllCanUnloadNow tells COM whether anything still needs the module. Any thread;
// the server lock count changes only by interlocked operations.
#pragma once

#include <windows.h>

namespace veltrano::server {

//! LockServer of every class factory: true adds one lock, false removes one. An
//! unlock without a lock is not refused; a count below 0 acts like 0.
void AdjustServerLock(bool lock) noexcept;

//! Current server lock count (a snapshot).
long ServerLockCount() noexcept;

}  // namespace veltrano::server

// Declared by the platform headers (combaseapi.h); exported by name through the
// module's .def file:
//   STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
//   STDAPI DllCanUnloadNow();
