// Ownership of AM_MEDIA_TYPE contents: cbFormat marks an owned CoTaskMemAlloc block,
// a non-null pUnk is one counted reference.
#include "framework/media_type_record.h"

#include <cstring>

namespace veltrano::framework {

HRESULT DuplicateMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) noexcept {
  if (!target || !source) return E_POINTER;
  *target = *source;
  HRESULT hr = S_OK;
  if (source->cbFormat != 0) {
    target->pbFormat = static_cast<BYTE*>(::CoTaskMemAlloc(source->cbFormat));
    if (!target->pbFormat) {
      target->cbFormat = 0;
      hr = E_OUTOFMEMORY;
    } else if (source->pbFormat) {
      std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
    } else {
      // A length without a block: nothing to copy, so the copy owns none either.
      ::CoTaskMemFree(target->pbFormat);
      target->pbFormat = nullptr;
      target->cbFormat = 0;
    }
  }
  if (target->pUnk) target->pUnk->AddRef();
  return hr;
}

void FreeMediaTypeContents(AM_MEDIA_TYPE* type) noexcept {
  if (!type) return;
  if (type->cbFormat != 0) {
    ::CoTaskMemFree(type->pbFormat);
    type->cbFormat = 0;
    type->pbFormat = nullptr;
  }
  if (type->pUnk) {
    type->pUnk->Release();
    type->pUnk = nullptr;
  }
}

void DeleteMediaType(AM_MEDIA_TYPE* type) noexcept {
  if (!type) return;
  FreeMediaTypeContents(type);
  ::CoTaskMemFree(type);
}

CMediaTypeRecord::CMediaTypeRecord() noexcept : AM_MEDIA_TYPE{} {
  bFixedSizeSamples = TRUE;
  bTemporalCompression = FALSE;
  lSampleSize = 1;
}

void CMediaTypeRecord::Clear() noexcept { FreeMediaTypeContents(this); }

HRESULT CMediaTypeRecord::Assign(const AM_MEDIA_TYPE* source) noexcept {
  if (source == this) return S_OK;
  if (!source) return E_POINTER;
  Clear();
  return FAILED(DuplicateMediaType(this, source)) ? E_OUTOFMEMORY : S_OK;
}

BYTE* CMediaTypeRecord::EnsureFormatBlock(ULONG length) noexcept {
  if (cbFormat == length) return pbFormat;
  BYTE* block = static_cast<BYTE*>(::CoTaskMemAlloc(length));
  if (!block) return cbFormat >= length ? pbFormat : nullptr;
  if (cbFormat != 0) ::CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return block;
}

bool TypeFitsPattern(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE* pattern) noexcept {
  if (!pattern) return true;
  if (pattern->majortype != GUID_NULL && pattern->majortype != type.majortype) return false;
  if (pattern->subtype != GUID_NULL && pattern->subtype != type.subtype) return false;
  if (pattern->formattype == GUID_NULL) return true;
  if (pattern->formattype != type.formattype || pattern->cbFormat != type.cbFormat) return false;
  if (type.cbFormat == 0) return true;
  // A length without a block describes no format bytes at all: it fits nothing
  // rather than being read through a null pointer.
  if (!type.pbFormat || !pattern->pbFormat) return false;
  return std::memcmp(type.pbFormat, pattern->pbFormat, type.cbFormat) == 0;
}

bool CMediaTypeRecord::FitsPattern(const AM_MEDIA_TYPE* pattern) const noexcept {
  return TypeFitsPattern(*this, pattern);
}

void CMediaTypeRecord::ResetToDefault() noexcept {
  Clear();
  static_cast<AM_MEDIA_TYPE&>(*this) = AM_MEDIA_TYPE{};
  bFixedSizeSamples = TRUE;
  lSampleSize = 1;
}

}  // namespace veltrano::framework
