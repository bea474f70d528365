// The worker thread and its request/reply command protocol.
#include "framework/am_thread.h"

#include "framework/unknown.h"

namespace veltrano::framework {
namespace {

// GetProcAddress gives a generic function pointer; going through void(*)() tells the
// compiler the cast to the real signature is deliberate.
template <typename Fn>
Fn ExportAs(HMODULE module, const char* name) noexcept {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// The thread handle is not held by a UniqueHandle (it is swapped atomically), but
// it is counted with the module's other handles so that leak checks see it.
void CountThreadHandle(long delta) noexcept { platform::detail::CountHandles(delta); }

}  // namespace

CAMThread::CAMThread(HRESULT* result) noexcept {
  request_event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!request_event_) StoreResult(result, LastErrorAsFailure());
  reply_event_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!reply_event_) StoreResult(result, LastErrorAsFailure());
}

CAMThread::~CAMThread() { JoinWorker(); }

bool CAMThread::StartWorker() noexcept {
  auto guard = access_lock_.Lock();
  if (!request_event_ || !reply_event_) return false;
  if (HANDLE old = thread_.load()) {
    // A worker that ended by itself (a failed WorkerInit) leaves its handle behind;
    // a live one may not be replaced.
    if (::WaitForSingleObject(old, 0) != WAIT_OBJECT_0) return false;
    JoinWorker();
  }
  ::ResetEvent(request_event_.get());
  // A worker abandoned by a final release on its own thread still returns through
  // this module after the module reports that it may be unloaded; its own reference
  // keeps the module mapped until the thread has ended.
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&CAMThread::WorkerEntry), &module)) {
    return false;
  }
  worker_module_ = module;
  DWORD thread_id = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, &CAMThread::WorkerEntry, this, 0, &thread_id);
  if (!thread) {
    worker_module_ = nullptr;
    ::FreeLibrary(module);
    return false;
  }
  CountThreadHandle(1);
  thread_id_.store(thread_id);
  thread_.store(thread);
  return true;
}

HRESULT CAMThread::SendCommand(DWORD command) noexcept {
  auto guard = access_lock_.Lock();
  HANDLE thread = thread_.load();
  if (!thread) return E_FAIL;
  command_ = command;
  ::SetEvent(request_event_.get());
  // Waiting on the thread too: a worker that has already ended (after a failed
  // WorkerInit) never replies, and must not leave us waiting forever.
  const HANDLE waits[2] = {reply_event_.get(), thread};
  const DWORD wait = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (wait == WAIT_OBJECT_0) return reply_;
  ::ResetEvent(request_event_.get());
  if (wait == WAIT_OBJECT_0 + 1) JoinWorker();
  return E_FAIL;
}

void CAMThread::JoinWorker() noexcept {
  HANDLE thread = thread_.exchange(nullptr);
  if (!thread) return;
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  CountThreadHandle(-1);
}

void CAMThread::AbandonWorker() noexcept {
  HANDLE thread = thread_.exchange(nullptr);
  if (!thread) return;
  ::CloseHandle(thread);
  CountThreadHandle(-1);
}

bool CAMThread::HasWorker() const noexcept { return thread_.load() != nullptr; }

bool CAMThread::IsWorkerThread() const noexcept {
  return thread_.load() != nullptr && thread_id_.load() == ::GetCurrentThreadId();
}

DWORD CAMThread::WaitForCommand() noexcept {
  ::WaitForSingleObject(request_event_.get(), INFINITE);
  return command_;
}

bool CAMThread::PeekCommand(DWORD* command) noexcept {
  if (::WaitForSingleObject(request_event_.get(), 0) != WAIT_OBJECT_0) return false;
  *command = command_;
  return true;
}

void CAMThread::ReplyToCommand(HRESULT result) noexcept {
  reply_ = result;
  ::ResetEvent(request_event_.get());
  ::SetEvent(reply_event_.get());
}

DWORD WINAPI CAMThread::WorkerEntry(void* thread_object) {
  const HMODULE module = static_cast<CAMThread*>(thread_object)->worker_module_;
  // COM is initialised only when ole32 is already loaded in the process: the worker
  // never loads a module itself.
  using CoInitializeExFn = HRESULT(WINAPI*)(void*, DWORD);
  using CoUninitializeFn = void(WINAPI*)();
  HRESULT com_result = E_FAIL;
  CoUninitializeFn uninitialize = nullptr;
  if (HMODULE ole32 = ::GetModuleHandleW(L"ole32.dll")) {
    auto initialize = ExportAs<CoInitializeExFn>(ole32, "CoInitializeEx");
    uninitialize = ExportAs<CoUninitializeFn>(ole32, "CoUninitialize");
    if (initialize) com_result = initialize(nullptr, COINIT_DISABLE_OLE1DDE | COINIT_MULTITHREADED);
  }
  // The thread object may be gone once WorkerMain returns (a filter released on its
  // own worker); nothing below touches it.
  const DWORD exit_code = static_cast<CAMThread*>(thread_object)->WorkerMain();
  if (SUCCEEDED(com_result) && uninitialize) uninitialize();
  // Drops the worker's module reference and ends the thread without returning into
  // code that may no longer be mapped.
  ::FreeLibraryAndExitThread(module, exit_code);
}

}  // namespace veltrano::framework
