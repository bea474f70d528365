#include "producer_process.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "VeltranoVirtualCamera.h"
#include "e2e_support.h"

namespace veltrano::test {
namespace {

std::wstring EventName(const wchar_t* what, uint32_t seed) {
  static LONG counter = 0;
  return L"Local\\VeltranoE2E." + std::wstring(what) + L"." + std::to_wstring(::GetCurrentProcessId()) + L"." +
         std::to_wstring(seed) + L"." + std::to_wstring(::InterlockedIncrement(&counter));
}

// Exit codes of the helper mode.
constexpr int kExitClosed = 0;
constexpr int kExitNoModule = 2;
constexpr int kExitNoProducer = 3;
constexpr int kExitNoEvents = 4;
constexpr int kExitTimedOut = 5;

}  // namespace

// Arguments: seed, frames per second, ready event, stop event, "close" or "exit".
VELTRANO_CHILD_MODE(producer) {
  if (args.size() != 5) return kExitNoEvents;
  const uint32_t seed = static_cast<uint32_t>(std::stoul(args[0]));
  const int fps = std::stoi(args[1]);
  platform::UniqueHandle ready = OpenNamedEvent(args[2]);
  platform::UniqueHandle stop = OpenNamedEvent(args[3]);
  const bool close_at_end = args[4] == L"close";
  if (!ready || !stop) return kExitNoEvents;

  // As a host application does: load the module and find the exports by name.
  HMODULE module = ::LoadLibraryW(ModuleDllPath().c_str());
  if (!module) return kExitNoModule;
  auto create = ModuleExport<decltype(&VeltranoVirtualCamera_CreateProducer)>(module, "VeltranoVirtualCamera_CreateProducer");
  auto write = ModuleExport<decltype(&VeltranoVirtualCamera_WriteFrame)>(module, "VeltranoVirtualCamera_WriteFrame");
  auto close = ModuleExport<decltype(&VeltranoVirtualCamera_CloseProducer)>(module, "VeltranoVirtualCamera_CloseProducer");
  if (!create || !write || !close) return kExitNoModule;

  VeltranoVirtualCameraProducer* producer = create(kWidth, kHeight, kStride, ::GetCurrentProcessId());
  if (!producer) return kExitNoProducer;

  std::unique_ptr<uint8_t[]> frame(new uint8_t[kFrameBytes]);
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  const int64_t period = frequency.QuadPart / fps;
  const int64_t start = QpcNow();
  const ULONGLONG give_up = ::GetTickCount64() + 120000;  // never outlive the test run
  for (uint32_t sequence = 0;; ++sequence) {
    FillProducerFrame(frame.get(), seed, sequence);
    const int64_t now = QpcNow();
    std::memcpy(frame.get() + offsetof(ProducerFrameHeader, written_qpc), &now, sizeof(now));
    write(producer, frame.get(), kFrameBytes, static_cast<uint64_t>(now));
    if (sequence == 0) ::SetEvent(ready.get());

    const int64_t due = start + period * (sequence + 1);
    const int64_t wait = due - QpcNow();
    const DWORD wait_ms = wait > 0 ? static_cast<DWORD>(QpcToMilliseconds(wait)) : 0;
    if (::WaitForSingleObject(stop.get(), wait_ms) == WAIT_OBJECT_0) break;
    if (::GetTickCount64() >= give_up) {
      close(producer);
      return kExitTimedOut;
    }
  }
  if (!close_at_end) ::ExitProcess(kExitClosed);  // the producer is never closed
  close(producer);
  ::FreeLibrary(module);
  return kExitClosed;
}

ProducerProcess::~ProducerProcess() {
  if (child_.process && ::WaitForSingleObject(child_.process.get(), 0) == WAIT_TIMEOUT) Kill();
}

bool ProducerProcess::Start(uint32_t seed, int frames_per_second, Ending ending, const std::wstring& executable) {
  const std::wstring ready_name = EventName(L"Ready", seed);
  const std::wstring stop_name = EventName(L"Stop", seed);
  ready_ = CreateNamedEvent(ready_name);
  stop_ = CreateNamedEvent(stop_name);
  if (!ready_ || !stop_) return false;
  const std::wstring args = std::to_wstring(seed) + L" " + std::to_wstring(frames_per_second) + L" " + ready_name +
                           L" " + stop_name + L" " + (ending == Ending::kClose ? L"close" : L"exit");
  child_ = executable.empty() ? SpawnChild(L"producer", args) : SpawnChildOf(executable, L"producer", args);
  if (!child_.process) return false;
  const HANDLE handles[] = {ready_.get(), child_.process.get()};
  return ::WaitForMultipleObjects(2, handles, FALSE, 10000) == WAIT_OBJECT_0;
}

DWORD ProducerProcess::Finish() {
  ::SetEvent(stop_.get());
  if (!child_.Wait(10000)) return 0x10000;
  return child_.exit_code;
}

bool ProducerProcess::Kill() {
  if (!child_.process) return false;
  if (!::TerminateProcess(child_.process.get(), 97)) return false;
  return ::WaitForSingleObject(child_.process.get(), 10000) == WAIT_OBJECT_0;
}

}  // namespace veltrano::test
