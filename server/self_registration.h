// Self-registration: the COM class keys under HKEY_CLASSES_ROOT and the filter
// mapper entry in the video input device category. Runs on the caller's thread,
// keeps no state and takes no lock; COM is initialised (apartment-threaded) only
// around the mapper step.
#pragma once

#include <windows.h>

#include <memory>

namespace veltrano::server {

//! A Win32 error code as an HRESULT: positive codes become 0x8007xxxx (low 16 bits);
//! 0 and negative values (already HRESULTs) are returned unchanged.
HRESULT HResultFromWin32(LONG code) noexcept;

//! GetLastError() as an HRESULT for a call that failed: a failure that left no code
//! is E_FAIL, never S_OK.
HRESULT HResultFromLastError() noexcept;

struct ModulePath {
  std::unique_ptr<wchar_t[]> text;  // null-terminated
  DWORD length = 0;                 // characters, without the terminator
};

//! The full path of `module`'s file, however long: the buffer grows until the path
//! fits, so a long path is never registered truncated.
HRESULT ReadModulePath(HMODULE module, ModulePath* path) noexcept;

// The four steps the exports are built from.
//! `created` (may be null) tells whether the class key was new, so that a failed
//! registration takes back only what it added and not an earlier installation's keys.
HRESULT WriteClassKeys(bool* created = nullptr) noexcept;
HRESULT RemoveClassKeys() noexcept;
HRESULT RegisterWithMapper() noexcept;  // COM initialised by the caller
void UnregisterFromMapper() noexcept;   // every failure ignored

}  // namespace veltrano::server

//! Registers (install non-zero) or unregisters; the command line is ignored.
//! DllRegisterServer and DllUnregisterServer are declared by olectl.h.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR command_line);
