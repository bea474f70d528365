// The module-wide count of live objects that DllCanUnloadNow reads.
#include "framework/base_object.h"

namespace veltrano::framework {
namespace {

LONG g_active_object_count = 0;  // changed only by Interlocked*

}  // namespace

long ActiveObjectCount() noexcept {
  // An interlocked no-op read gives a full-barrier view of the current value.
  return ::InterlockedCompareExchange(&g_active_object_count, 0, 0);
}

CBaseObject::CBaseObject() noexcept { ::InterlockedIncrement(&g_active_object_count); }

CBaseObject::~CBaseObject() { ::InterlockedDecrement(&g_active_object_count); }

}  // namespace veltrano::framework
