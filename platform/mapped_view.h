// Owner of one mapped view of a file mapping (MapViewOfFile). Move-only; unmaps on
// reset and destruction. Views are counted like handles so tests can find leaks.
#pragma once

#include <windows.h>

#include <cstddef>
#include <utility>

namespace veltrano::platform {

//! Number of views currently held by MappedView owners in this module.
long LiveViewCount() noexcept;

namespace detail {
void CountViews(long delta) noexcept;
}  // namespace detail

class MappedView {
 public:
  MappedView() noexcept = default;
  explicit MappedView(void* base) noexcept : base_(base) {
    if (base_) detail::CountViews(1);
  }
  MappedView(MappedView&& other) noexcept : base_(std::exchange(other.base_, nullptr)) {}
  MappedView& operator=(MappedView&& other) noexcept {
    if (this != &other) {
      reset();
      base_ = std::exchange(other.base_, nullptr);
    }
    return *this;
  }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() { reset(); }

  explicit operator bool() const noexcept { return base_ != nullptr; }
  void* get() const noexcept { return base_; }
  template <typename T>
  T* as() const noexcept {
    return static_cast<T*>(base_);
  }

  //! Bytes that can be touched from the base: the committed region VirtualQuery
  //! reports for the view, in whole pages; 0 without a view. A section created with
  //! only reserved pages maps fine, but any access to them faults, so those count as
  //! nothing (pages of a section are never decommitted once committed).
  std::size_t MappedSize() const noexcept {
    if (!base_) return 0;
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(base_, &info, sizeof(info)) != sizeof(info)) return 0;
    return info.State == MEM_COMMIT ? info.RegionSize : 0;
  }

  [[nodiscard]] void* release() noexcept {
    if (base_) detail::CountViews(-1);
    return std::exchange(base_, nullptr);
  }

  //! Unmaps the held view (keeping GetLastError) and takes `base`.
  void reset(void* base = nullptr) noexcept {
    if (base_) {
      const DWORD last_error = ::GetLastError();
      ::UnmapViewOfFile(base_);
      detail::CountViews(-1);
      ::SetLastError(last_error);
    }
    base_ = base;
    if (base_) detail::CountViews(1);
  }

 private:
  void* base_ = nullptr;
};

}  // namespace veltrano::platform
