// The allocation failure hooks themselves, run in every test executable: a hook that
// silently did nothing would turn each out-of-memory test into a pass that proves nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <new>
#include <thread>

#include "common/allocation_failure_scope.h"
#include "common/task_mem_spy.h"
#include "platform/task_mem.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

void LinkAllocationFailureTests() {}

namespace {

// Inside an armed scope nothing may allocate but the call under test, so results are
// kept in plain locals and checked after the scope ends.
TEST(AllocationFailureScope, RefusesEveryFormOnTheCallingThread) {
  ASSERT_TRUE(AllocationFailureHookIsLive());
  void* single = reinterpret_cast<void*>(1);
  void* array = reinterpret_cast<void*>(1);
  bool threw = false, array_threw = false;
  int failures;
  {
    AllocationFailureScope no_memory;
    single = ::operator new(8, std::nothrow);
    array = ::operator new[](8, std::nothrow);
    try {
      ::operator delete(::operator new(8));
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    try {
      ::operator delete[](::operator new[](16));
    } catch (const std::bad_alloc&) {
      array_threw = true;
    }
    failures = no_memory.failures();
  }
  EXPECT_EQ(nullptr, single);
  EXPECT_EQ(nullptr, array);
  EXPECT_TRUE(threw);
  EXPECT_TRUE(array_threw);
  EXPECT_EQ(4, failures);
  // Disarmed, allocations succeed again.
  int* after = new (std::nothrow) int(7);
  ASSERT_NE(nullptr, after);
  delete after;
}

TEST(AllocationFailureScope, LetsTheFirstAllowedThroughThenRefusesEveryLater) {
  void* blocks[5] = {};
  int failures;
  {
    AllocationFailureScope third(2);
    for (void*& block : blocks) block = ::operator new(32, std::nothrow);
    failures = third.failures();
  }
  EXPECT_NE(nullptr, blocks[0]);
  EXPECT_NE(nullptr, blocks[1]);
  EXPECT_EQ(nullptr, blocks[2]);
  EXPECT_EQ(nullptr, blocks[3]);
  EXPECT_EQ(nullptr, blocks[4]);
  EXPECT_EQ(3, failures);
  for (void* block : blocks) ::operator delete(block);
}

TEST(AllocationFailureScope, CountsOnlyBlocksOfTheMinimumSize) {
  constexpr size_t kLarge = 4096;
  void* small[3] = {};
  void* large[2] = {};
  void* exact_small = nullptr;
  int failures;
  {
    AllocationFailureScope one_large(1, kLarge);
    small[0] = ::operator new(kLarge - 1, std::nothrow);
    large[0] = ::operator new(kLarge, std::nothrow);
    small[1] = ::operator new(16, std::nothrow);
    large[1] = ::operator new(kLarge * 2, std::nothrow);
    small[2] = ::operator new(0, std::nothrow);
    exact_small = ::operator new(kLarge - 1, std::nothrow);
    failures = one_large.failures();
  }
  for (void* block : small) EXPECT_NE(nullptr, block);
  EXPECT_NE(nullptr, exact_small);
  EXPECT_NE(nullptr, large[0]);
  EXPECT_EQ(nullptr, large[1]);
  EXPECT_EQ(1, failures);
  for (void* block : small) ::operator delete(block);
  ::operator delete(exact_small);
  for (void* block : large) ::operator delete(block);
}

TEST(AllocationFailureScope, NestedScopePutsTheOuterOneBack) {
  void* inner_block = nullptr;
  void* outer_first = nullptr;
  void* outer_second = nullptr;
  {
    AllocationFailureScope outer(1);
    {
      AllocationFailureScope inner;
      inner_block = ::operator new(8, std::nothrow);
    }
    outer_first = ::operator new(8, std::nothrow);  // the outer scope's one allowed
    outer_second = ::operator new(8, std::nothrow);
  }
  EXPECT_EQ(nullptr, inner_block);
  EXPECT_NE(nullptr, outer_first);
  EXPECT_EQ(nullptr, outer_second);
  ::operator delete(outer_first);
}

TEST(AllocationFailureScope, OtherThreadsKeepAllocating) {
  platform::UniqueHandle armed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle checked(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(armed);
  ASSERT_TRUE(checked);
  void* refused_here = reinterpret_cast<void*>(1);
  bool other_waited = false;
  std::thread armed_thread([&] {
    AllocationFailureScope no_memory;
    ::SetEvent(armed.get());
    other_waited = ::WaitForSingleObject(checked.get(), 10000) == WAIT_OBJECT_0;
    refused_here = ::operator new(8, std::nothrow);
  });
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(armed.get(), 10000));
  void* allowed_there = ::operator new(8, std::nothrow);
  ::SetEvent(checked.get());
  armed_thread.join();
  EXPECT_TRUE(other_waited);
  EXPECT_NE(nullptr, allowed_there);
  EXPECT_EQ(nullptr, refused_here);
  ::operator delete(allowed_there);
}

class TaskMemSpy : public testing::Test {
 protected:
  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  void SetUp() override { ASSERT_TRUE(com_.succeeded()); }
};

TEST_F(TaskMemSpy, FailureScopeRefusesExactlyOneSize) {
  void* refused = nullptr;
  void* refused_again = nullptr;
  void* other = nullptr;
  int failures;
  {
    TaskMemFailureScope fail(40);
    ASSERT_EQ(S_OK, fail.registration());
    refused = ::CoTaskMemAlloc(40);
    other = ::CoTaskMemAlloc(41);
    refused_again = ::CoTaskMemAlloc(40);
    failures = fail.failures();
  }
  EXPECT_EQ(nullptr, refused);
  EXPECT_EQ(nullptr, refused_again);
  EXPECT_NE(nullptr, other);
  EXPECT_EQ(2, failures);
  ::CoTaskMemFree(other);
  // Revoked: the same size is served again.
  void* after = ::CoTaskMemAlloc(40);
  EXPECT_NE(nullptr, after);
  ::CoTaskMemFree(after);
}

TEST_F(TaskMemSpy, FreeTrackerTellsWhichBlocksWereFreed) {
  void* kept = ::CoTaskMemAlloc(24);
  void* dropped = ::CoTaskMemAlloc(24);
  ASSERT_NE(nullptr, kept);
  ASSERT_NE(nullptr, dropped);
  {
    TaskMemFreeTracker tracker;
    ASSERT_EQ(S_OK, tracker.registration());
    ::CoTaskMemFree(dropped);
    void* temporary = ::CoTaskMemAlloc(8);
    ASSERT_NE(nullptr, temporary);
    ::CoTaskMemFree(temporary);
    EXPECT_TRUE(tracker.WasFreed(dropped));
    EXPECT_TRUE(tracker.WasFreed(temporary));
    EXPECT_FALSE(tracker.WasFreed(kept));
    EXPECT_EQ(S_OK, tracker.Revoke());
  }
  ::CoTaskMemFree(kept);
}

}  // namespace
}  // namespace veltrano::test
