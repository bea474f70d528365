// Shared pieces of the end-to-end tests: where the built module lies, Wine's
// regsvr32, the system device enumerator, a clock, figures, and the frame pattern
// that producer children write and the tests recognise byte for byte.
#pragma once

#include <dshow.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com_ptr.h"

namespace veltrano::test {

inline constexpr int32_t kWidth = 1280;
inline constexpr int32_t kHeight = 720;
inline constexpr int32_t kStride = 2560;
inline constexpr uint32_t kFrameBytes = 1843200;

//! Full path of VeltranoVirtualCamera.dll, built beside this executable.
std::wstring ModuleDllPath();
//! Full path of this executable's file.
std::wstring OwnExecutablePath();
//! An export of `module` by name as a typed function pointer (null when absent).
template <typename Function>
Function ModuleExport(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

//! True when the Windows runtime underneath is Wine.
bool RunningOnWine();

//! Runs "<program> <arguments>" and returns its exit code, or a value above 0xFFFF
//! when it could not start or did not end within a minute. "regsvr32.exe" is the one
//! of this process's bitness (a 32-bit process finds SysWOW64's).
DWORD RunRegsvr32(const std::wstring& arguments, const std::wstring& program = L"regsvr32.exe");
//! Full path of the regsvr32 of the other bitness: SysWOW64's from a 64-bit process,
//! the native System32's (through Sysnative) from a 32-bit one.
std::wstring OtherBitnessRegsvr32();

//! Monikers of the video input devices listed under "Veltrano Virtual Camera".
std::vector<platform::ComPtr<IMoniker>> FindCameraMonikers();
//! A string property of a device moniker ("" when absent).
std::wstring ReadMonikerString(IMoniker* moniker, const wchar_t* name);
//! True while HKEY_CLASSES_ROOT\CLSID\{camera} exists.
bool CameraClassKeyExists();

//! The first pin of `filter` in `direction`.
platform::ComPtr<IPin> FindPin(IBaseFilter* filter, PIN_DIRECTION direction);

int64_t QpcNow();
double QpcToMilliseconds(int64_t ticks);

//! Value at fraction `q` (0..1) of `values`, sorted in place.
double Percentile(std::vector<double>& values, double q);

// Producer frames start with this header; every other byte follows PatternByte.
struct ProducerFrameHeader {
  char magic[8];
  uint32_t seed;
  uint32_t sequence;
  int64_t written_qpc;  // QueryPerformanceCounter just before WriteFrame (system-wide)
};
inline constexpr char kProducerMagic[8] = {'V', 'l', 't', 'r', 'E', '2', 'E', '!'};
// Producers and graphs of either bitness read each other's headers.
static_assert(sizeof(ProducerFrameHeader) == 24 && offsetof(ProducerFrameHeader, written_qpc) == 16);

void FillProducerFrame(uint8_t* frame, uint32_t seed, uint32_t sequence);
//! True when `frame` holds exactly the bytes of a producer frame (the header's
//! time stamp aside); fills `header` then.
bool MatchProducerFrame(const uint8_t* frame, size_t size, ProducerFrameHeader* header);

//! FNV-1a over the whole buffer, eight bytes at a time.
uint64_t HashFrame(const uint8_t* frame, size_t size);

}  // namespace veltrano::test
