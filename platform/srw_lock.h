// Owner of one slim reader/writer lock and its two scope guards: many threads may hold
// it shared at once, one thread exclusive. Not re-entrant. Not movable: guards keep a
// pointer to it. A static instance needs no set-up (SRWLOCK_INIT).
#pragma once

#include <windows.h>

namespace veltrano::platform {

class [[nodiscard]] SharedGuard {
 public:
  explicit SharedGuard(SRWLOCK* lock) noexcept : lock_(lock) { ::AcquireSRWLockShared(lock_); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;
  ~SharedGuard() { ::ReleaseSRWLockShared(lock_); }

 private:
  SRWLOCK* lock_;
};

class [[nodiscard]] ExclusiveGuard {
 public:
  explicit ExclusiveGuard(SRWLOCK* lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(lock_); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ~ExclusiveGuard() { ::ReleaseSRWLockExclusive(lock_); }

 private:
  SRWLOCK* lock_;
};

class SrwLock {
 public:
  constexpr SrwLock() noexcept = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  [[nodiscard]] SharedGuard LockShared() noexcept { return SharedGuard(&lock_); }
  [[nodiscard]] ExclusiveGuard LockExclusive() noexcept { return ExclusiveGuard(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace veltrano::platform
