#include "server/module_entry.h"

#include <new>

#include "framework/base_object.h"
#include "server/class_factory.h"
#include "server/factory_template.h"

namespace veltrano::server {
namespace {

LONG g_server_lock_count = 0;  // changed only by Interlocked*

}  // namespace

void AdjustServerLock(bool lock) noexcept {
  if (lock) {
    ::InterlockedIncrement(&g_server_lock_count);
    return;
  }
  // An unlock without a lock is not refused, but it takes nothing below zero: else a
  // later client's lock would only bring the count back to zero, and the module would
  // report itself unloadable while that client holds it.
  LONG count = ::InterlockedCompareExchange(&g_server_lock_count, 0, 0);
  while (count > 0) {
    const LONG seen = ::InterlockedCompareExchange(&g_server_lock_count, count - 1, count);
    if (seen == count) return;
    count = seen;
  }
}

long ServerLockCount() noexcept { return ::InterlockedCompareExchange(&g_server_lock_count, 0, 0); }

}  // namespace veltrano::server

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  using veltrano::server::CClassFactory;
  // A null out pointer is refused rather than written through.
  if (!out) return E_POINTER;
  *out = nullptr;
  // The IID is tested before the class lookup: an unsupported IID fails this way
  // whatever the CLSID.
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  const veltrano::server::FactoryTemplate* row = veltrano::server::FindFactoryTemplate(clsid);
  if (!row) return CLASS_E_CLASSNOTAVAILABLE;
  // Every call gets a factory of its own; none is shared or cached.
  auto* factory = new (std::nothrow) CClassFactory(row);
  if (!factory) return E_OUTOFMEMORY;
  *out = static_cast<IClassFactory*>(factory);
  factory->AddRef();
  return S_OK;
}

STDAPI DllCanUnloadNow() {
  if (veltrano::server::ServerLockCount() > 0) return S_FALSE;
  if (veltrano::framework::ActiveObjectCount() != 0) return S_FALSE;
  return S_OK;
}
