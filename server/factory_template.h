// The module's class table: one row per creatable class, read-only and shared by
// every thread. DllGetClassObject scans it; each class factory points at its row.
#pragma once

#include <windows.h>

#include "framework/unknown.h"

namespace veltrano::server {

//! Makes one object of a class. `result` holds S_OK on entry and receives a failure
//! code when something fails; the object (inner unknown, count 0) may come back
//! together with a failure, and the caller then destroys it.
using CreateFunction = framework::INonDelegatingUnknown* (*)(IUnknown* outer, HRESULT* result) noexcept;

struct FactoryTemplate {
  const wchar_t* friendly_name;
  const CLSID* clsid;
  CreateFunction create;
};

//! The row whose CLSID equals `clsid` (all 16 bytes), or null.
const FactoryTemplate* FindFactoryTemplate(REFCLSID clsid) noexcept;

}  // namespace veltrano::server
