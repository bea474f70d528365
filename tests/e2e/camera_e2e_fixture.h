// The fixture of the tests that open the camera as a capture application does: the
// module registered with regsvr32 once per suite, COM on the test thread, and the
// camera's device moniker from the system device enumerator. Every graph is gone by
// the end of a test, so the module must then be ready to unload.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"

namespace veltrano::test {

class CameraE2E : public testing::Test {
 protected:
  static void SetUpTestSuite() { registered_ = RunRegsvr32(L"/s \"" + ModuleDllPath() + L"\"") == 0; }
  static void TearDownTestSuite() { RunRegsvr32(L"/u /s \"" + ModuleDllPath() + L"\""); }

  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    ASSERT_TRUE(registered_) << "regsvr32 could not register "
                             << std::string(ModuleDllPath().begin(), ModuleDllPath().end());
    std::vector<platform::ComPtr<IMoniker>> monikers = FindCameraMonikers();
    ASSERT_EQ(1u, monikers.size());
    moniker_ = monikers[0];
  }

  void TearDown() override {
    moniker_.reset();
    if (HMODULE module = ::GetModuleHandleW(L"VeltranoVirtualCamera.dll")) {
      auto can_unload = ModuleExport<HRESULT(STDAPICALLTYPE*)()>(module, "DllCanUnloadNow");
      ASSERT_NE(nullptr, can_unload);
      EXPECT_EQ(S_OK, can_unload());
    }
  }

  static inline bool registered_ = false;
  platform::ScopedComInit com_{COINIT_APARTMENTTHREADED};
  platform::ComPtr<IMoniker> moniker_;
};

}  // namespace veltrano::test
