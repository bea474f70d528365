// Producer side of the frame section protocol: initialise, publish, close.
#include "channel/frame_producer.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "channel/frame_section_words.h"

namespace veltrano::channel {
namespace {

// The producer that last initialised the section from this process. A second
// successful Create while a producer lives can only happen on the thread that owns
// the (recursive) producer mutex, so this one record is enough to tell the current
// initialiser from the handles it superseded.
std::atomic<const FrameProducer*> g_current_initialiser{nullptr};

volatile LONG* InterlockedWord(void* base, uint32_t offset) noexcept {
  return reinterpret_cast<volatile LONG*>(static_cast<unsigned char*>(base) + offset);
}

}  // namespace

bool FrameProducer::Create(int32_t width, int32_t height, int32_t stride, uint64_t tag) noexcept {
  TearDown();
  FrameSectionLayout layout;
  if (width <= 0 || tag == 0 || !ComputeFrameSectionLayout(height, stride, &layout)) return false;

  // Opens the mutex when another producer created it; ownership is what admits us.
  platform::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, kProducerMutexName));
  if (!mutex) return false;
  const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
  // WAIT_ABANDONED: a producer ended without closing; its section is taken over below.
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
  mutex_ = std::move(mutex);
  // A producer of this process whose creating thread ended is superseded from now on,
  // also where this producer cannot take its section over.
  if (wait == WAIT_ABANDONED) g_current_initialiser.store(nullptr);

  if (!MapSection(layout)) {
    TearDown();
    return false;
  }
  layout_ = layout;
  width_ = width;
  height_ = height;
  stride_ = stride;
  tag_ = tag;

  // Zeroing sets the state to empty, so readers holding the section let go of it
  // until the header below announces the new format. The initialisation count goes on
  // from the section's previous one, so that a reader copying across this moment can
  // tell the new producer's frames from the old one's.
  void* base = view_.get();
  uint32_t initialisation = LoadWord32(base, kInitialisationCountOffset) + 1;
  if (initialisation == 0) initialisation = 1;
  // The two words readers test go first, each with a full barrier: the zero fill may
  // store in any order, and a reader must not see slot bytes zeroed under a header
  // that still announces the old stream. The count takes its new value at once and is
  // left out of the fill: a creation cut short (its host killed) must leave it counted
  // on, since at 0 the next producer would start again at 1, a count a reader may still
  // hold from before.
  ::InterlockedExchange(InterlockedWord(base, kProducerStateOffset), kStateEmpty);
  ::InterlockedExchange(InterlockedWord(base, kInitialisationCountOffset), static_cast<LONG>(initialisation));
  constexpr uint32_t kAfterCount = kInitialisationCountOffset + 4;
  std::memset(base, 0, kInitialisationCountOffset);
  std::memset(static_cast<unsigned char*>(base) + kAfterCount, 0, layout.total_size - kAfterCount);
  initialisation_ = initialisation;
  StoreWord32(base, kWidthOffset, static_cast<uint32_t>(width));
  StoreWord32(base, kHeightOffset, static_cast<uint32_t>(height));
  StoreWord32(base, kStrideOffset, static_cast<uint32_t>(stride));
  StoreWord64(base, kProducerTagOffset, tag);
  StoreWord32(base, kProducerStateOffset, kStateCreated);
  StoreWord32(base, kFrameSizeOffset, layout.frame_size);
  for (uint32_t k = 0; k < kSlotCount; ++k) {
    StoreWord32(base, kSlotOffsetTableOffset + 4 * k, layout.slot_offsets[k]);
  }
  owns_view_ = true;
  g_current_initialiser.store(this);
  return true;
}

bool FrameProducer::MapSection(const FrameSectionLayout& layout) noexcept {
  const ULONGLONG deadline = ::GetTickCount64() + kSmallerSectionWaitMilliseconds;
  // The state of an earlier section this call marked closed, put back should the
  // readers not let go of it in time: a failed creation must not end that stream.
  uint32_t replaced_state = kStateClosed;
  for (;;) {
    // An existing section of that name is returned as it is; a smaller one makes the
    // full-size mapping below fail.
    section_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, layout.total_size,
                                        kFrameSectionName));
    if (!section_) return false;
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    view_.reset(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, layout.total_size));
    // A section of that name made by someone else with reserved pages only would fault
    // in the zero fill that follows.
    if (view_) return view_.MappedSize() >= layout.total_size;
    // An earlier producer's section that capture applications still hold. A live
    // producer of this process (a second creation on its own thread) keeps it.
    if (!existed || g_current_initialiser.load()) return false;
    platform::MappedView old(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    const std::size_t old_size = old.MappedSize();
    // Only one too small is waited for; any other mapping failure is final.
    if (old_size < kHeaderSize || old_size >= layout.total_size) return false;
    void* header = old.get();
    if (::GetTickCount64() >= deadline) {
      if (replaced_state != kStateClosed) {
        ::InterlockedCompareExchange(InterlockedWord(header, kProducerStateOffset), static_cast<LONG>(replaced_state),
                                     static_cast<LONG>(kStateClosed));
      }
      return false;
    }
    // Nobody produces into it any more (the mutex is ours): marked closed, it is let go
    // by every reader at its next sample, and the name is free for a section of the
    // new size.
    const uint32_t state = static_cast<uint32_t>(
        ::InterlockedExchange(InterlockedWord(header, kProducerStateOffset), static_cast<LONG>(kStateClosed)));
    if (state != kStateClosed) replaced_state = state;
    old.reset();
    section_.reset();
    ::Sleep(kSmallerSectionPollMilliseconds);
  }
}

bool FrameProducer::WriteFrame(const void* data, uint32_t byte_count, uint64_t stamp) noexcept {
  if (!view_ || !data || byte_count < layout_.frame_size || !IsCurrentInitialiser() ||
      !SectionIsStillOurs()) {
    return false;
  }
  void* base = view_.get();
  // The fetch-add claims the slot; unsigned arithmetic gives the wrapped sequence.
  const uint32_t sequence =
      static_cast<uint32_t>(::InterlockedExchangeAdd(InterlockedWord(base, kWriteCounterOffset), 1)) + 1u;
  const uint32_t slot = layout_.slot_offsets[SlotIndexOf(sequence)];
  std::memcpy(static_cast<unsigned char*>(base) + slot + kSlotDataOffset, data, layout_.frame_size);
  StoreWord32(base, slot + kSlotLengthOffset, layout_.frame_size);
  StoreWord64(base, slot + kSlotStampOffset, stamp);
  // Taken over during the copy: publish nothing into the new producer's stream.
  if (!IsCurrentInitialiser() || !SectionIsStillOurs()) return false;
  // Full barrier: a reader that sees this sequence sees the data, length and stamp.
  ::InterlockedExchange(InterlockedWord(base, kPublishedSequenceOffset), static_cast<LONG>(sequence));
  ::InterlockedCompareExchange(InterlockedWord(base, kProducerStateOffset), kStateStreaming, kStateCreated);
  return true;
}

void FrameProducer::TearDown() noexcept {
  // Only the last initialiser marks the section closed: a superseded handle must not
  // end the stream of the producer that re-initialised the section after it.
  if (view_ && IsCurrentInitialiser() && SectionIsStillOurs()) {
    StoreWord32(view_.get(), kProducerStateOffset, kStateClosed);
  }
  if (owns_view_) {
    const FrameProducer* self = this;
    g_current_initialiser.compare_exchange_strong(self, nullptr);
  }
  owns_view_ = false;
  view_.reset();
  section_.reset();
  if (mutex_) {
    ::ReleaseMutex(mutex_.get());
    mutex_.reset();
  }
  layout_ = FrameSectionLayout{};
  width_ = height_ = stride_ = 0;
  tag_ = 0;
  initialisation_ = 0;
}

bool FrameProducer::IsCurrentInitialiser() const noexcept {
  return owns_view_ && g_current_initialiser.load() == this;
}

bool FrameProducer::SectionIsStillOurs() const noexcept {
  const void* base = view_.get();
  return LoadWord32(base, kInitialisationCountOffset) == initialisation_ &&
         static_cast<int32_t>(LoadWord32(base, kWidthOffset)) == width_ &&
         static_cast<int32_t>(LoadWord32(base, kHeightOffset)) == height_ &&
         static_cast<int32_t>(LoadWord32(base, kStrideOffset)) == stride_ &&
         LoadWord64(base, kProducerTagOffset) == tag_;
}

}  // namespace veltrano::channel
