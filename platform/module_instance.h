// The module's own instance handle, recorded at process attach. The placeholder
// picture is found through it and registration reads the module path from it.
// Test executables record their own instance, which carries the same resource.
#pragma once

#include <windows.h>

namespace veltrano::platform {

HINSTANCE ModuleInstance() noexcept;
void SetModuleInstance(HINSTANCE instance) noexcept;

}  // namespace veltrano::platform
