// Video input devices as capture applications find them: the system device
// enumerator's video input category, each device's FriendlyName, and the formats its
// capture pin offers through IAMStreamConfig. Main thread, COM initialised.
#pragma once

#include <dshow.h>

#include <string>
#include <vector>

#include "platform/com_ptr.h"

namespace veltrano::tools {

struct DeviceFormat {
  std::wstring subtype;  // FOURCC or GUID text
  long width = 0;
  long height = 0;
  double fps = 0.0;
};

struct DeviceInfo {
  std::wstring name;
  std::vector<DeviceFormat> formats;
  std::wstring problem;  // set when the device could not be opened or queried
};

//! Lists every video input device with its formats. S_FALSE when there are none.
HRESULT ListVideoDevices(std::vector<DeviceInfo>* devices);

//! Binds the first device whose FriendlyName equals `name` (case-insensitive).
//! S_FALSE with no filter when there is none.
HRESULT BindVideoDevice(const std::wstring& name, platform::ComPtr<IBaseFilter>* filter);

//! The device's capture pin: the first output pin whose category is
//! PIN_CATEGORY_CAPTURE, else the first output pin.
HRESULT FindCapturePin(IBaseFilter* filter, platform::ComPtr<IPin>* pin);

//! "YUY2" for FOURCC subtypes, else the GUID.
std::wstring SubtypeName(const GUID& subtype);

}  // namespace veltrano::tools
