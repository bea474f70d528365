// Owner of one Windows critical section (re-entrant), and its scope guard.
// Not movable: other objects keep pointers to it (pins share their filter's lock).
#pragma once

#include <windows.h>

namespace veltrano::platform {

class CriticalSection;

//! Holds a critical section from construction to the end of its scope.
class [[nodiscard]] CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION* section) noexcept : section_(section) {
    ::EnterCriticalSection(section_);
  }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;
  ~CriticalSectionGuard() { ::LeaveCriticalSection(section_); }

 private:
  CRITICAL_SECTION* section_;
};

class CriticalSection {
 public:
  CriticalSection() noexcept { ::InitializeCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { ::DeleteCriticalSection(&section_); }

  [[nodiscard]] CriticalSectionGuard Lock() noexcept { return CriticalSectionGuard(&section_); }
  void Enter() noexcept { ::EnterCriticalSection(&section_); }
  void Leave() noexcept { ::LeaveCriticalSection(&section_); }
  //! True when the calling thread holds the section (for assertions in tests).
  bool IsOwnedByCurrentThread() const noexcept {
    return reinterpret_cast<DWORD_PTR>(section_.OwningThread) == ::GetCurrentThreadId();
  }
  CRITICAL_SECTION* native() noexcept { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

}  // namespace veltrano::platform
