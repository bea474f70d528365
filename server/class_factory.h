// The class factory handed out by DllGetClassObject: makes objects of one row of
// the class table. Any thread; its count and the server lock change only by
// interlocked operations. It cannot be aggregated and holds no reference on what
// it creates.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "framework/base_object.h"
#include "server/factory_template.h"

namespace veltrano::server {

class CClassFactory final : public IClassFactory, public framework::CBaseObject {
 public:
  //! Count 0; the caller takes the first reference.
  explicit CClassFactory(const FactoryTemplate* factory_template) noexcept;
  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  ~CClassFactory() = default;

  const FactoryTemplate* const template_;
  LONG ref_count_ = 0;  // changed only by Interlocked*
};

}  // namespace veltrano::server
