// Every long-lived COM object of the module counts itself here from the start of
// its construction to the end of its destruction, so that the module can tell
// whether it may be unloaded. Any thread; the count changes only by interlocked
// operations.
#pragma once

#include <windows.h>

namespace veltrano::framework {

//! Number of live CBaseObject-derived objects in the module.
long ActiveObjectCount() noexcept;

class CBaseObject {
 public:
  CBaseObject() noexcept;
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

 protected:
  ~CBaseObject();
};

}  // namespace veltrano::framework
