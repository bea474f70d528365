// The module stays mapped while code of it still runs. A sink that drops the
// filter's last reference inside Receive leaves the worker thread to return through
// the module after the active object count has reached zero; a host that frees the
// module then must not pull the code from under that thread.
#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>

#include "camera/camera_identity.h"
#include "common/child_process.h"
#include "common/fake_input_pin.h"
#include "e2e_support.h"
#include "platform/task_mem.h"
#include "platform/unique_handle.h"

namespace veltrano::test {
namespace {

// Exit codes of the helper mode.
constexpr int kExitUnloadedOnlyAfterTheWorker = 0;
constexpr int kExitSetupFailed = 2;
constexpr int kExitNotReleasedOnTheWorker = 3;
constexpr int kExitUnloadedUnderTheWorker = 4;
constexpr int kExitWorkerDidNotEnd = 5;
constexpr int kExitStillLoaded = 6;

bool ModuleLoaded() { return ::GetModuleHandleW(ModuleDllPath().c_str()) != nullptr; }

// Loads the module as COM would, streams the camera pin into a sink that releases the
// filter's last reference inside Receive, frees the module at once, and tells whether
// the module stayed until the worker had ended.
VELTRANO_CHILD_MODE(free_module_after_release_on_the_worker) {
  const platform::ScopedComInit com(COINIT_MULTITHREADED);
  HMODULE module = ::LoadLibraryW(ModuleDllPath().c_str());
  if (!com.succeeded() || !module) return kExitSetupFailed;
  auto get_class_object = ModuleExport<decltype(&DllGetClassObject)>(module, "DllGetClassObject");
  IClassFactory* factory = nullptr;
  if (!get_class_object ||
      FAILED(get_class_object(camera::kCameraClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    return kExitSetupFailed;
  }
  IBaseFilter* filter = nullptr;
  const HRESULT created = factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
  factory->Release();
  if (FAILED(created)) return kExitSetupFailed;

  platform::UniqueHandle released_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle freed_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> armed{false};
  std::atomic<DWORD> worker_id{0};
  std::atomic<ULONG> released{99};
  FakeInputPin sink;
  sink.remember_connection = false;  // the filter's last reference is ours alone
  sink.on_receive = [&] {
    if (!armed.exchange(false)) return;
    worker_id = ::GetCurrentThreadId();
    released = filter->Release();
    ::SetEvent(released_event.get());
    // Still on the worker, in this executable's code, until the host has freed the
    // module; the worker returns into it afterwards.
    ::WaitForSingleObject(freed_event.get(), 10000);
  };
  {
    platform::ComPtr<IPin> pin = FindPin(filter, PINDIR_OUTPUT);
    if (!released_event || !freed_event || !pin || pin->Connect(&sink, nullptr) != S_OK) return kExitSetupFailed;
  }
  if (filter->Run(0) != S_OK || !sink.WaitForReceives(2)) return kExitSetupFailed;
  armed = true;
  if (::WaitForSingleObject(released_event.get(), 10000) != WAIT_OBJECT_0) return kExitSetupFailed;
  if (released.load() != 0) return kExitNotReleasedOnTheWorker;

  platform::UniqueHandle worker(::OpenThread(SYNCHRONIZE, FALSE, worker_id.load()));
  ::FreeLibrary(module);
  const bool loaded_while_the_worker_runs = ModuleLoaded();
  ::SetEvent(freed_event.get());
  if (!loaded_while_the_worker_runs) return kExitUnloadedUnderTheWorker;
  if (!worker || ::WaitForSingleObject(worker.get(), 10000) != WAIT_OBJECT_0) return kExitWorkerDidNotEnd;
  return ModuleLoaded() ? kExitStillLoaded : kExitUnloadedOnlyAfterTheWorker;
}

TEST(ModuleLifetimeE2E, AWorkerReleasedOnItsOwnThreadKeepsTheModuleUntilItEnds) {
  ChildProcess child = SpawnChild(L"free_module_after_release_on_the_worker");
  ASSERT_TRUE(child.process);
  ASSERT_TRUE(child.Wait(60000)) << "the helper did not end";
  EXPECT_EQ(static_cast<DWORD>(kExitUnloadedOnlyAfterTheWorker), child.exit_code);
}

}  // namespace
}  // namespace veltrano::test
