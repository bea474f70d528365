// Owner of one open registry key. Used by one thread at a time.
#pragma once

#include <windows.h>

#include <utility>

namespace veltrano::server {

class RegistryKey {
 public:
  RegistryKey() noexcept = default;
  RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegistryKey& operator=(RegistryKey&& other) noexcept {
    if (this != &other) reset(std::exchange(other.key_, nullptr));
    return *this;
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() { reset(); }

  explicit operator bool() const noexcept { return key_ != nullptr; }
  HKEY get() const noexcept { return key_; }

  void reset(HKEY key = nullptr) noexcept {
    if (HKEY old = std::exchange(key_, key)) ::RegCloseKey(old);
  }
  //! Closes the held key and returns the address for a call that opens one.
  [[nodiscard]] HKEY* put() noexcept {
    reset();
    return &key_;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace veltrano::server
