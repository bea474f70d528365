// Owners of COM task memory (CoTaskMemAlloc/CoTaskMemFree) and of a COM
// initialisation on the current thread.
#pragma once

#include <objbase.h>

#include <utility>

namespace veltrano::platform {

//! Owns one CoTaskMemAlloc block.
template <typename T>
class UniqueTaskMem {
 public:
  UniqueTaskMem() noexcept = default;
  explicit UniqueTaskMem(T* ptr) noexcept : ptr_(ptr) {}
  UniqueTaskMem(UniqueTaskMem&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  UniqueTaskMem& operator=(UniqueTaskMem&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  UniqueTaskMem(const UniqueTaskMem&) = delete;
  UniqueTaskMem& operator=(const UniqueTaskMem&) = delete;
  ~UniqueTaskMem() { reset(); }

  //! Allocates `bytes` bytes (uninitialised); null on failure.
  static UniqueTaskMem Allocate(size_t bytes) noexcept {
    return UniqueTaskMem(static_cast<T*>(::CoTaskMemAlloc(bytes)));
  }

  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  [[nodiscard]] T* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset(T* ptr = nullptr) noexcept {
    if (T* old = std::exchange(ptr_, ptr)) ::CoTaskMemFree(old);
  }
  [[nodiscard]] T** put() noexcept {
    reset();
    return &ptr_;
  }

 private:
  T* ptr_ = nullptr;
};

//! Initialises COM on the calling thread and uninitialises it at scope end when
//! the initialisation succeeded (S_OK or S_FALSE).
class [[nodiscard]] ScopedComInit {
 public:
  explicit ScopedComInit(DWORD flags) noexcept : result_(::CoInitializeEx(nullptr, flags)) {}
  ScopedComInit(const ScopedComInit&) = delete;
  ScopedComInit& operator=(const ScopedComInit&) = delete;
  ~ScopedComInit() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  HRESULT result() const noexcept { return result_; }
  bool succeeded() const noexcept { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

}  // namespace veltrano::platform
