// A thread object that owns one worker thread and talks to it through a
// request/reply command protocol: callers post a command with SendCommand and wait
// for the reply; the worker waits for or peeks at commands and replies.
// Threads: StartWorker/SendCommand/JoinWorker on caller threads (serialised by the
// access lock); WaitForCommand/PeekCommand/ReplyToCommand on the worker only.
#pragma once

#include <windows.h>

#include <atomic>

#include "platform/critical_section.h"
#include "platform/unique_handle.h"

namespace veltrano::framework {

enum WorkerCommand : DWORD {
  WorkerInit = 0,
  WorkerPause = 1,
  WorkerRun = 2,
  WorkerStop = 3,
  WorkerExit = 4,
};

class CAMThread {
 public:
  //! Creates the two events; a failure is reported through `result`.
  explicit CAMThread(HRESULT* result) noexcept;
  CAMThread(const CAMThread&) = delete;
  CAMThread& operator=(const CAMThread&) = delete;

  //! The worker's command loop; returns the thread's exit code.
  virtual DWORD WorkerMain() = 0;
  virtual ~CAMThread();

  //! False when a worker already exists or the thread cannot be created.
  bool StartWorker() noexcept;
  //! The worker's reply; E_FAIL when there is no worker (or it has ended).
  HRESULT SendCommand(DWORD command) noexcept;
  //! Waits for the worker thread to end and closes its handle (at most once).
  void JoinWorker() noexcept;
  bool HasWorker() const noexcept;
  //! True on the worker thread itself (a call that arrives there must not wait for it).
  bool IsWorkerThread() const noexcept;

 protected:
  DWORD WaitForCommand() noexcept;
  bool PeekCommand(DWORD* command) noexcept;
  void ReplyToCommand(HRESULT result) noexcept;
  //! Closes the thread handle without waiting; only for the worker thread itself.
  void AbandonWorker() noexcept;
  //! Signalled while a command waits for the worker's answer, for waits on the worker
  //! that must end when one arrives. Never reset it directly.
  HANDLE command_event() const noexcept { return request_event_.get(); }

 private:
  static DWORD WINAPI WorkerEntry(void* thread_object);

  platform::UniqueHandle request_event_;  // manual reset: a posted command stays visible
  platform::UniqueHandle reply_event_;    // auto reset
  DWORD command_ = 0;
  HRESULT reply_ = S_OK;
  std::atomic<HANDLE> thread_{nullptr};  // swapped out atomically by JoinWorker
  std::atomic<DWORD> thread_id_{0};
  // The module reference the next worker takes over: it holds the code it runs in
  // loaded until its last instruction, also when released on its own thread.
  HMODULE worker_module_ = nullptr;
  platform::CriticalSection access_lock_;
};

}  // namespace veltrano::framework
