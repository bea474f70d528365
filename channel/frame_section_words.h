// Loads and stores of the frame section's header and slot words through a mapped
// view. Other processes change these words concurrently, so every access is a single
// aligned load or store (std::atomic_ref); a read-only view is only ever loaded from.
#pragma once

#include <atomic>
#include <cstdint>

namespace veltrano::channel {

// Processes of both bitnesses share the section, so every access must be one
// instruction on every target: a lock-based fallback would lock only this process.
// On 32-bit x86 an aligned 8-byte atomic load or store is a single SSE2 or x87 move.
// The 64-bit words (producer tag, slot stamps) lie on 8-byte boundaries.
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::required_alignment <= 8);

template <typename T>
T& SectionWord(const void* base, uint32_t offset) noexcept {
  // The views are mapped writable or read-only as a whole; the const_cast only lets
  // atomic_ref name the word, and read-only views are never stored to.
  return *reinterpret_cast<T*>(const_cast<unsigned char*>(static_cast<const unsigned char*>(base) + offset));
}

inline uint32_t LoadWord32(const void* base, uint32_t offset) noexcept {
  return std::atomic_ref<uint32_t>(SectionWord<uint32_t>(base, offset)).load(std::memory_order_acquire);
}

inline uint64_t LoadWord64(const void* base, uint32_t offset) noexcept {
  return std::atomic_ref<uint64_t>(SectionWord<uint64_t>(base, offset)).load(std::memory_order_acquire);
}

inline void StoreWord32(void* base, uint32_t offset, uint32_t value) noexcept {
  std::atomic_ref<uint32_t>(SectionWord<uint32_t>(base, offset)).store(value, std::memory_order_release);
}

inline void StoreWord64(void* base, uint32_t offset, uint64_t value) noexcept {
  std::atomic_ref<uint64_t>(SectionWord<uint64_t>(base, offset)).store(value, std::memory_order_release);
}

}  // namespace veltrano::channel
