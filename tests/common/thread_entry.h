// Thread entry points from captureless lambdas. A thread routine must be WINAPI
// (stdcall on 32-bit x86), and GCC converts a lambda only to a pointer of the
// default convention, so the lambda is called from a WINAPI trampoline instead.
// Any thread.
#pragma once

#include <windows.h>

namespace veltrano::test {

template <typename Body>
DWORD WINAPI ThreadTrampoline(void* context) {
  return Body{}(context);  // a captureless lambda is default-constructible (C++20)
}

//! CreateThread running `body(context)`; `body` is a captureless lambda returning DWORD.
template <typename Body>
HANDLE StartThread(Body /*body*/, void* context) {
  return ::CreateThread(nullptr, 0, &ThreadTrampoline<Body>, context, 0, nullptr);
}

}  // namespace veltrano::test
