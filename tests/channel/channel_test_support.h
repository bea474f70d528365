// Shared pieces of the channel tests: a fixture that checks that each test leaves no
// section, mutex, handle or view behind, a direct view of the section for checking and
// tampering with raw bytes, frame patterns, and a bounded run on another thread.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "VeltranoVirtualCamera.h"
#include "channel/frame_section_layout.h"
#include "common/thread_entry.h"
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

namespace veltrano::channel::test {

inline constexpr int32_t kWidth = 1280;
inline constexpr int32_t kHeight = 720;
inline constexpr int32_t kStride = 2560;
inline constexpr uint32_t kFrameBytes = 1843200;

inline bool SectionExists() {
  platform::UniqueHandle section(::OpenFileMappingW(FILE_MAP_READ, FALSE, kFrameSectionName));
  return static_cast<bool>(section);
}

inline bool MutexExists() {
  platform::UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, kProducerMutexName));
  return static_cast<bool>(mutex);
}

// Named objects live only while somebody holds them: a test that starts with either
// of them present would depend on what an earlier test left open.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(SectionExists()) << "a frame section survived an earlier test";
    ASSERT_FALSE(MutexExists()) << "the producer mutex survived an earlier test";
    handles_at_start_ = platform::LiveHandleCount();
    views_at_start_ = platform::LiveViewCount();
  }
  void TearDown() override {
    EXPECT_EQ(handles_at_start_, platform::LiveHandleCount());
    EXPECT_EQ(views_at_start_, platform::LiveViewCount());
    EXPECT_FALSE(SectionExists());
    EXPECT_FALSE(MutexExists());
  }

 private:
  long handles_at_start_ = 0;
  long views_at_start_ = 0;
};

//! Frees a producer handle at scope exit (the test's own tear-down on early returns).
struct ProducerCloser {
  void operator()(VeltranoVirtualCameraProducer* producer) const { VeltranoVirtualCamera_CloseProducer(producer); }
};
using ProducerPtr = std::unique_ptr<VeltranoVirtualCameraProducer, ProducerCloser>;

inline ProducerPtr CreateProducer(int32_t width, int32_t height, int32_t stride, uint64_t tag) {
  return ProducerPtr(VeltranoVirtualCamera_CreateProducer(width, height, stride, tag));
}

//! A view of the frame section opened by name, as any other process could.
class SectionPeek {
 public:
  //! `writable` opens with all access, for tampering; otherwise read-only.
  explicit SectionPeek(bool writable = false) {
    const DWORD access = writable ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ;
    section_.reset(::OpenFileMappingW(access, FALSE, kFrameSectionName));
    if (section_) view_.reset(::MapViewOfFile(section_.get(), access, 0, 0, 0));
  }
  explicit operator bool() const { return static_cast<bool>(view_); }
  size_t Size() const { return view_.MappedSize(); }
  const uint8_t* Bytes(uint32_t offset = 0) const { return view_.as<uint8_t>() + offset; }
  uint32_t U32(uint32_t offset) const {
    uint32_t value;
    std::memcpy(&value, Bytes(offset), sizeof(value));
    return value;
  }
  uint64_t U64(uint32_t offset) const {
    uint64_t value;
    std::memcpy(&value, Bytes(offset), sizeof(value));
    return value;
  }
  void Poke32(uint32_t offset, uint32_t value) { std::memcpy(view_.as<uint8_t>() + offset, &value, sizeof(value)); }
  std::vector<uint8_t> Snapshot() const { return std::vector<uint8_t>(Bytes(), Bytes() + Size()); }

 private:
  platform::UniqueHandle section_;
  platform::MappedView view_;
};

//! A frame of `size` bytes whose content depends on `seed` everywhere (no period that
//! lines up with rows or slots).
inline std::vector<uint8_t> MakeFrame(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> frame(size);
  uint32_t state = seed * 2654435761u + 1u;
  for (auto& byte : frame) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return frame;
}

//! Runs `work` on a new thread and waits for it at most `timeout_ms`; false when the
//! thread could not be started or did not finish in time.
inline bool RunOnOtherThread(std::function<void()> work, DWORD timeout_ms = 10000) {
  auto entry = [](void* context) -> DWORD {
    (*static_cast<std::function<void()>*>(context))();
    return 0;
  };
  platform::UniqueHandle thread(::veltrano::test::StartThread(entry, &work));
  if (!thread) return false;
  if (::WaitForSingleObject(thread.get(), timeout_ms) == WAIT_OBJECT_0) return true;
  // The thread still uses `work`; it cannot be left running past this frame.
  ::TerminateThread(thread.get(), 1);
  return false;
}

}  // namespace veltrano::channel::test
