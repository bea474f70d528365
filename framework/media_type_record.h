// Owning media type value and the helpers around AM_MEDIA_TYPE ownership: format
// blocks come from CoTaskMemAlloc and are freed only when cbFormat is non-zero; a
// non-null pUnk is a counted reference. No locking: owners guard their records.
#pragma once

#include <dshow.h>

namespace veltrano::framework {

//! Deep copy of `source` into `target`, whose old contents are NOT freed. On a
//! failed format allocation the target gets cbFormat 0 / pbFormat null, every other
//! field copied, and E_OUTOFMEMORY.
HRESULT DuplicateMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) noexcept;

//! Whether the concrete `type` fits `pattern` (see CMediaTypeRecord::FitsPattern);
//! for records handed out by other objects, which are plain AM_MEDIA_TYPEs.
bool TypeFitsPattern(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE* pattern) noexcept;

//! Frees the contents of a media type (format block, pUnk) without freeing the record.
void FreeMediaTypeContents(AM_MEDIA_TYPE* type) noexcept;

//! Frees a caller-owned AM_MEDIA_TYPE from CoTaskMemAlloc: contents, then the record.
void DeleteMediaType(AM_MEDIA_TYPE* type) noexcept;

class CMediaTypeRecord : public AM_MEDIA_TYPE {
 public:
  //! The default state: GUID_NULL types, fixed-size samples, sample size 1, no format.
  CMediaTypeRecord() noexcept;
  CMediaTypeRecord(const CMediaTypeRecord&) = delete;
  CMediaTypeRecord& operator=(const CMediaTypeRecord&) = delete;
  ~CMediaTypeRecord() { Clear(); }

  //! Frees the format block and releases pUnk; GUIDs, flags and size keep their values.
  void Clear() noexcept;
  //! Deep copy of `source` (no-op for itself). E_OUTOFMEMORY when the format block
  //! cannot be copied (the record is then left without one).
  HRESULT Assign(const AM_MEDIA_TYPE* source) noexcept;
  //! Makes the format block exactly `length` bytes (contents not initialised unless
  //! the length already matched). Null when it cannot, unless the old block is larger.
  BYTE* EnsureFormatBlock(ULONG length) noexcept;
  //! Whether this concrete type fits `pattern`, in which GUID_NULL means "any".
  bool FitsPattern(const AM_MEDIA_TYPE* pattern) const noexcept;
  //! Resets to the default state after freeing the contents.
  void ResetToDefault() noexcept;
};

}  // namespace veltrano::framework
