#include "platform/module_instance.h"

#include <atomic>

namespace veltrano::platform {
namespace {
std::atomic<HINSTANCE> g_module_instance{nullptr};
}  // namespace

HINSTANCE ModuleInstance() noexcept { return g_module_instance.load(); }
void SetModuleInstance(HINSTANCE instance) noexcept { g_module_instance.store(instance); }

}  // namespace veltrano::platform
