// Cross-process tests run a second copy of the test executable in a helper mode:
// "<exe> --child <name> [args...]" runs the registered function instead of the tests
// and exits with its result. Register a mode at namespace scope:
//
//   VELTRANO_CHILD_MODE(hold_producer) { ...; return 0; }
//
// and start it with SpawnChild(L"hold_producer", L"arg1 arg2").
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace veltrano::test {

using ChildMain = int (*)(const std::vector<std::wstring>& args);

struct ChildModeRegistrar {
  ChildModeRegistrar(const wchar_t* name, ChildMain main);
};

#define VELTRANO_CHILD_MODE(name)                                                      \
  static int ChildMode_##name(const std::vector<std::wstring>& args);                 \
  static ::veltrano::test::ChildModeRegistrar child_mode_registrar_##name(L## #name, \
                                                                          &ChildMode_##name); \
  static int ChildMode_##name([[maybe_unused]] const std::vector<std::wstring>& args)

//! Runs the helper mode if the command line asks for one; returns true and stores
//! its exit code then.
bool RunChildModeIfRequested(int* exit_code);

//! A child process of this executable and the pipe of its standard output.
struct ChildProcess {
  platform::UniqueHandle process;
  DWORD exit_code = STILL_ACTIVE;

  //! Waits up to `timeout_ms`; on time-out kills the child and returns false.
  bool Wait(DWORD timeout_ms);
};

//! Starts this executable in helper mode `name` with `args` (space separated).
//! Returns a child whose process handle is null when CreateProcess failed.
ChildProcess SpawnChild(const std::wstring& name, const std::wstring& args = L"");
//! The same with another test executable of this project, such as the one of the
//! other bitness (OtherBitnessExecutable).
ChildProcess SpawnChildOf(const std::wstring& executable, const std::wstring& name, const std::wstring& args = L"");

//! "64-bit" or "32-bit": the bitness of this process.
const char* OwnBitness();
//! "32-bit" or "64-bit": the other one.
const char* OtherBitness();
//! Full path of the test executable `file_name` (e.g. L"e2e_tests.exe") built for the
//! other bitness, taken from the folder that CTest passes in VELTRANO_OTHER_BITNESS_BIN;
//! "" when that variable is not set (the other bitness was not built): cross-bitness
//! tests skip then, naming the reason. A set variable whose file is missing is a broken
//! build, which the tests report as a failure (FileExists tells them apart).
std::wstring OtherBitnessExecutable(const wchar_t* file_name);
//! True when `path` names an existing file.
bool FileExists(const std::wstring& path);

//! Named event helpers for handshakes with children (manual reset, session-local).
platform::UniqueHandle CreateNamedEvent(const std::wstring& name);
platform::UniqueHandle OpenNamedEvent(const std::wstring& name);

}  // namespace veltrano::test
