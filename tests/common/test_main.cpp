// Entry point of every test executable: either a helper mode for cross-process
// tests, or GoogleTest. The executable records its own instance as the module
// instance; it links the same placeholder resource as the camera module.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/child_process.h"
#include "platform/module_instance.h"

int main(int argc, char** argv) {
  veltrano::platform::SetModuleInstance(::GetModuleHandleW(nullptr));
  // Failing tests must not stop on a Wine error dialog.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // Under Wine a process that dies of an unhandled exception exits with code 0, which
  // CTest would count as a pass: end it with the exception code instead.
  ::SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* info) -> LONG {
    ::TerminateProcess(::GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
  });
  int exit_code = 0;
  if (veltrano::test::RunChildModeIfRequested(&exit_code)) return exit_code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
