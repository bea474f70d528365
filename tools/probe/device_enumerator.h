// Video input devices as capture applications find them: the system device
// enumerator's video input category, each device's FriendlyName, and the capabilities
// of its capture pin. Main thread, COM initialised.
#pragma once

#include <dshow.h>

#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "tools/probe/stream_capabilities.h"

namespace veltrano::tools {

struct DeviceInfo {
  std::wstring name;
  std::vector<Capability> capabilities;
  std::wstring problem;  // set when the device could not be opened or queried
};

//! Lists every video input device with its capabilities. S_FALSE when there are none.
HRESULT ListVideoDevices(std::vector<DeviceInfo>* devices);

//! Binds the first device whose FriendlyName equals `name` (case-insensitive).
//! S_FALSE with no filter when there is none.
HRESULT BindVideoDevice(const std::wstring& name, platform::ComPtr<IBaseFilter>* filter);

//! The device's capture pin: the first output pin whose category is
//! PIN_CATEGORY_CAPTURE, else the first output pin.
HRESULT FindCapturePin(IBaseFilter* filter, platform::ComPtr<IPin>* pin);

}  // namespace veltrano::tools
