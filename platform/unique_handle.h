// One move-only owner per kernel handle. The invalid value belongs to the type:
// events, mutexes, threads and file mappings fail with null, files with
// INVALID_HANDLE_VALUE. Every owner counts the handles it holds so that tests can
// find leaks where the process-wide count is not available (Wine answers 0).
// Thread contract: an owner is used by one thread at a time; the count is atomic.
#pragma once

#include <windows.h>

#include <utility>

namespace veltrano::platform {

//! Number of kernel handles currently held by UniqueHandle/UniqueFileHandle owners
//! in this module (or test executable).
long LiveHandleCount() noexcept;

namespace detail {
void CountHandles(long delta) noexcept;
}  // namespace detail

struct NullInvalidHandle {
  static HANDLE Invalid() noexcept { return nullptr; }
};
struct InvalidValueHandle {
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

template <typename Policy>
class BasicUniqueHandle {
 public:
  //! Proxy returned by put(): converts to HANDLE* and counts the handle that the
  //! callee stored once the full expression ends.
  class OutParam {
   public:
    explicit OutParam(BasicUniqueHandle& owner) noexcept : owner_(owner) {}
    OutParam(const OutParam&) = delete;
    ~OutParam() {
      if (owner_) detail::CountHandles(1);
    }
    operator HANDLE*() noexcept { return &owner_.handle_; }

   private:
    BasicUniqueHandle& owner_;
  };

  BasicUniqueHandle() noexcept = default;
  explicit BasicUniqueHandle(HANDLE handle) noexcept : handle_(handle) {
    if (*this) detail::CountHandles(1);
  }
  BasicUniqueHandle(BasicUniqueHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, Policy::Invalid())) {}
  BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, Policy::Invalid());
    }
    return *this;
  }
  BasicUniqueHandle(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;
  ~BasicUniqueHandle() { reset(); }

  explicit operator bool() const noexcept { return handle_ != Policy::Invalid() && handle_ != nullptr; }
  HANDLE get() const noexcept { return handle_; }

  //! Gives up ownership without closing; the caller closes the handle.
  [[nodiscard]] HANDLE release() noexcept {
    if (*this) detail::CountHandles(-1);
    return std::exchange(handle_, Policy::Invalid());
  }

  //! Closes the held handle (if any) and takes `handle`. Keeps GetLastError intact so
  //! that a failure path can still report the code of the call that failed.
  void reset(HANDLE handle = Policy::Invalid()) noexcept {
    if (*this) {
      const DWORD last_error = ::GetLastError();
      ::CloseHandle(handle_);
      detail::CountHandles(-1);
      ::SetLastError(last_error);
    }
    handle_ = handle;
    if (*this) detail::CountHandles(1);
  }

  //! Closes the held handle and returns an out-parameter for a call that creates one.
  [[nodiscard]] OutParam put() noexcept {
    reset();
    return OutParam(*this);
  }

 private:
  HANDLE handle_ = Policy::Invalid();
};

//! Events, mutexes, threads, file mappings, processes: null means "none".
using UniqueHandle = BasicUniqueHandle<NullInvalidHandle>;
//! Files: INVALID_HANDLE_VALUE means "none".
using UniqueFileHandle = BasicUniqueHandle<InvalidValueHandle>;

}  // namespace veltrano::platform
