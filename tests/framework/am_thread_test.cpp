// The thread object's command protocol on its own: replies, a worker that ends
// without replying, and starting a worker again after one has ended.
#include <gtest/gtest.h>

#include "common/finishes_in_time.h"
#include "framework/am_thread.h"
#include "platform/unique_handle.h"

namespace veltrano::source_test {
namespace {

using framework::CAMThread;

// A worker that answers each command with the command's value plus 100, until the
// command 4 (exit), or that ends at once without a word when told to.
class EchoThread final : public CAMThread {
 public:
  explicit EchoThread(HRESULT* result) : CAMThread(result) {}
  ~EchoThread() override { JoinWorker(); }

  DWORD WorkerMain() override {
    ++runs;
    if (end_silently.load()) return 7;
    for (;;) {
      const DWORD command = WaitForCommand();
      DWORD peeked = 99;
      EXPECT_TRUE(PeekCommand(&peeked));  // still posted until the reply
      EXPECT_EQ(command, peeked);
      ReplyToCommand(static_cast<HRESULT>(command + 100));
      if (command == framework::WorkerExit) return 0;
    }
  }

  std::atomic<bool> end_silently{false};
  std::atomic<int> runs{0};
};

TEST(WorkerThread, CommandsAreAnsweredOneByOne) {
  const long handles_before = platform::LiveHandleCount();
  {
    HRESULT hr = S_OK;
    EchoThread thread(&hr);
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(E_FAIL, thread.SendCommand(framework::WorkerInit));  // no worker yet
    EXPECT_FALSE(thread.IsWorkerThread());
    ASSERT_TRUE(thread.StartWorker());
    EXPECT_TRUE(thread.HasWorker());
    EXPECT_FALSE(thread.StartWorker());  // one worker at a time
    EXPECT_EQ(100, thread.SendCommand(framework::WorkerInit));
    EXPECT_EQ(102, thread.SendCommand(framework::WorkerRun));
    EXPECT_EQ(142, thread.SendCommand(42));
    EXPECT_EQ(104, thread.SendCommand(framework::WorkerExit));
    thread.JoinWorker();
    EXPECT_FALSE(thread.HasWorker());
    thread.JoinWorker();  // at most once
    EXPECT_EQ(1, thread.runs.load());
  }
  EXPECT_EQ(handles_before, platform::LiveHandleCount());
}

// A worker that ended without replying must not leave the caller waiting forever.
TEST(WorkerThread, CommandToAnEndedWorkerFailsAndReleasesIt) {
  const long handles_before = platform::LiveHandleCount();
  {
    HRESULT hr = S_OK;
    EchoThread thread(&hr);
    ASSERT_EQ(S_OK, hr);
    thread.end_silently = true;
    ASSERT_TRUE(thread.StartWorker());
    HRESULT reply = S_OK;
    ASSERT_TRUE(test::FinishesInTime([&] { reply = thread.SendCommand(framework::WorkerInit); }));
    EXPECT_EQ(E_FAIL, reply);
    EXPECT_FALSE(thread.HasWorker());

    // And a new worker can be started, which sees no stale command.
    thread.end_silently = false;
    ASSERT_TRUE(thread.StartWorker());
    EXPECT_EQ(101, thread.SendCommand(framework::WorkerPause));
    EXPECT_EQ(104, thread.SendCommand(framework::WorkerExit));
    EXPECT_EQ(2, thread.runs.load());
  }
  EXPECT_EQ(handles_before, platform::LiveHandleCount());
}

// An ended worker whose handle is still held is replaced by StartWorker.
TEST(WorkerThread, StartWorkerReplacesAnEndedWorker) {
  HRESULT hr = S_OK;
  EchoThread thread(&hr);
  ASSERT_EQ(S_OK, hr);
  thread.end_silently = true;
  ASSERT_TRUE(thread.StartWorker());
  ASSERT_TRUE(test::FinishesInTime([&] {
    while (thread.runs.load() == 0) ::Sleep(1);
  }));
  // The run counter moves before the thread has fully ended: retry until it has.
  bool started = false;
  for (int i = 0; i < 1000 && !started; ++i) {
    started = thread.StartWorker();
    if (!started) ::Sleep(1);
  }
  ASSERT_TRUE(started);
  ASSERT_TRUE(test::FinishesInTime([&] {
    while (thread.runs.load() < 2) ::Sleep(1);
  }));
  EXPECT_TRUE(thread.HasWorker());  // joined by the destructor
}

}  // namespace
}  // namespace veltrano::source_test
