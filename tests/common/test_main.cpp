// Entry point of every test executable: either a helper mode for cross-process
// tests, or GoogleTest. The executable records its own instance as the module
// instance; it links the same placeholder resource as the camera module.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/child_process.h"
#include "platform/module_instance.h"

namespace veltrano::test {
// Members of the common test library are linked only when something refers to them:
// this one carries the allocation hooks' own tests and, through them, the replaced
// global operator new/delete, so every test executable has both.
void LinkAllocationFailureTests();

// The exception filter is called by the system: WINAPI, which a lambda cannot be on x86.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* info) {
  ::TerminateProcess(::GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace veltrano::test

int main(int argc, char** argv) {
  veltrano::platform::SetModuleInstance(::GetModuleHandleW(nullptr));
  veltrano::test::LinkAllocationFailureTests();
  // Failing tests must not stop on a Wine error dialog.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // Under Wine a process that dies of an unhandled exception exits with code 0, which
  // CTest would count as a pass: end it with the exception code instead.
  ::SetUnhandledExceptionFilter(&veltrano::test::EndWithExceptionCode);
  int exit_code = 0;
  if (veltrano::test::RunChildModeIfRequested(&exit_code)) return exit_code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
