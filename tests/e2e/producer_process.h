// A producer in a process of its own: a helper mode of this executable that loads
// the built module, resolves its producer exports by name and writes pattern frames
// at a given rate until told to stop. The parent starts, stops or kills it.
#pragma once

#include <cstdint>
#include <string>

#include "common/child_process.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

class ProducerProcess {
 public:
  enum class Ending { kClose, kExitWithoutClose };

  ProducerProcess() = default;
  ProducerProcess(const ProducerProcess&) = delete;
  ProducerProcess& operator=(const ProducerProcess&) = delete;
  //! Kills a child still running (bounded).
  ~ProducerProcess();

  //! Starts the child and waits (up to 10 s) until it has published its first frame.
  //! `executable` names another build's e2e test executable (the other bitness's),
  //! whose child loads the module beside it; "" is this one.
  bool Start(uint32_t seed, int frames_per_second, Ending ending = Ending::kClose,
             const std::wstring& executable = L"");
  //! Tells the child to stop and waits (up to 10 s) for it; returns its exit code.
  DWORD Finish();
  //! Kills the child while it streams.
  bool Kill();

 private:
  ChildProcess child_;
  platform::UniqueHandle ready_;
  platform::UniqueHandle stop_;
};

}  // namespace veltrano::test
