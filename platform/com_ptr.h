// A small no-throw owner of one COM interface reference.
// No implicit conversion to T*: get() for a borrowed pointer, put() for an out
// parameter (releases first), detach()/attach() to move ownership across a C boundary.
#pragma once

#include <unknwn.h>

#include <utility>

namespace veltrano::platform {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  //! Takes a new reference on `ptr`.
  explicit ComPtr(T* ptr) noexcept : ptr_(ptr) {
    if (ptr_) ptr_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.ptr_) {}
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }
  ~ComPtr() { reset(); }

  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }

  //! Releases the held reference and returns the address for a call that fills it.
  [[nodiscard]] T** put() noexcept {
    reset();
    return &ptr_;
  }
  //! put() as void** for QueryInterface-style calls.
  [[nodiscard]] void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  void reset() noexcept {
    if (T* old = std::exchange(ptr_, nullptr)) old->Release();
  }
  //! Takes over a reference the caller already owns.
  void attach(T* ptr) noexcept {
    reset();
    ptr_ = ptr;
  }
  //! Hands the reference to the caller without releasing it.
  [[nodiscard]] T* detach() noexcept { return std::exchange(ptr_, nullptr); }

  //! Stores a new reference in `out` (which may be null: then E_POINTER).
  HRESULT CopyTo(T** out) const noexcept {
    if (!out) return E_POINTER;
    *out = ptr_;
    if (ptr_) ptr_->AddRef();
    return S_OK;
  }

  //! QueryInterface into another ComPtr.
  template <typename U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    if (!out) return E_POINTER;
    if (!ptr_) {
      out->reset();
      return E_POINTER;
    }
    return ptr_->QueryInterface(__uuidof(U), out->put_void());
  }
  HRESULT As(REFIID iid, void** out) const noexcept {
    if (!out) return E_POINTER;
    if (!ptr_) {
      *out = nullptr;
      return E_POINTER;
    }
    return ptr_->QueryInterface(iid, out);
  }

  void swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

 private:
  T* ptr_ = nullptr;
};

}  // namespace veltrano::platform
