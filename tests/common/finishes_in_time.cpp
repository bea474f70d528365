// The bounded helper-thread call.
#include "common/finishes_in_time.h"

#include <memory>
#include <thread>
#include <utility>

#include "platform/unique_handle.h"

namespace veltrano::test {

bool FinishesInTime(std::function<void()> call, DWORD timeout_ms) {
  // Shared with the helper thread, which may outlive this frame after a time-out.
  struct Shared {
    platform::UniqueHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::function<void()> call;
  };
  auto shared = std::make_shared<Shared>();
  if (!shared->done) return false;
  shared->call = std::move(call);
  std::thread helper([shared] {
    shared->call();
    ::SetEvent(shared->done.get());
  });
  const bool finished = ::WaitForSingleObject(shared->done.get(), timeout_ms) == WAIT_OBJECT_0;
  if (finished) {
    helper.join();
  } else {
    helper.detach();
  }
  return finished;
}

}  // namespace veltrano::test
