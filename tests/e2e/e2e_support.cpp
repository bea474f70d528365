#include "e2e_support.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "camera/camera_identity.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

using platform::ComPtr;

std::wstring OwnExecutablePath() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::wstring ModuleDllPath() {
  std::wstring path = OwnExecutablePath();
  path.resize(path.find_last_of(L'\\') + 1);
  return path + L"VeltranoVirtualCamera.dll";
}

bool RunningOnWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

DWORD RunRegsvr32(const std::wstring& arguments, const std::wstring& program) {
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return 0x10000;
  }
  ::CloseHandle(info.hThread);
  platform::UniqueHandle process(info.hProcess);
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 1);
    return 0x10001;
  }
  DWORD exit_code = 0x10002;
  ::GetExitCodeProcess(process.get(), &exit_code);
  return exit_code;
}

std::wstring OtherBitnessRegsvr32() {
  wchar_t folder[MAX_PATH] = {};
  if (sizeof(void*) == 8) {
    const UINT length = ::GetSystemWow64DirectoryW(folder, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(folder) + L"\\regsvr32.exe" : L"";
  }
  // A 32-bit process sees SysWOW64 under the name System32; Sysnative is the real one.
  const UINT length = ::GetWindowsDirectoryW(folder, MAX_PATH);
  return length && length < MAX_PATH ? std::wstring(folder) + L"\\Sysnative\\regsvr32.exe" : L"";
}

std::wstring ReadMonikerString(IMoniker* moniker, const wchar_t* name) {
  ComPtr<IPropertyBag> bag;
  if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.put_void()))) return L"";
  VARIANT value;
  ::VariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR) text = value.bstrVal;
  ::VariantClear(&value);
  return text;
}

std::vector<ComPtr<IMoniker>> FindCameraMonikers() {
  std::vector<ComPtr<IMoniker>> found;
  ComPtr<ICreateDevEnum> enumerator;
  if (FAILED(::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                enumerator.put_void()))) {
    return found;
  }
  ComPtr<IEnumMoniker> monikers;
  if (enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.put(), 0) != S_OK) return found;
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
    const std::wstring name = ReadMonikerString(moniker.get(), L"FriendlyName");
    if (std::wcscmp(name.c_str(), camera::kCameraFriendlyName) == 0) found.push_back(moniker);
  }
  return found;
}

bool CameraClassKeyExists() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

ComPtr<IPin> FindPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.put()))) return nullptr;
  ComPtr<IPin> pin;
  while (pins->Next(1, pin.put(), nullptr) == S_OK) {
    PIN_DIRECTION pin_direction;
    if (SUCCEEDED(pin->QueryDirection(&pin_direction)) && pin_direction == direction) return pin;
  }
  return nullptr;
}

int64_t QpcNow() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double QpcToMilliseconds(int64_t ticks) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double>& values, double q) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5));
  return values[index];
}

namespace {

uint8_t PatternByte(size_t i, uint32_t seed, uint32_t sequence) {
  return static_cast<uint8_t>(i + (i >> 9) * 3 + sequence * 7 + seed * 29);
}

}  // namespace

void FillProducerFrame(uint8_t* frame, uint32_t seed, uint32_t sequence) {
  for (size_t i = sizeof(ProducerFrameHeader); i < kFrameBytes; ++i) frame[i] = PatternByte(i, seed, sequence);
  ProducerFrameHeader header{};
  std::memcpy(header.magic, kProducerMagic, sizeof(header.magic));
  header.seed = seed;
  header.sequence = sequence;
  std::memcpy(frame, &header, sizeof(header));
}

bool MatchProducerFrame(const uint8_t* frame, size_t size, ProducerFrameHeader* header) {
  if (size < kFrameBytes) return false;
  ProducerFrameHeader read;
  std::memcpy(&read, frame, sizeof(read));
  if (std::memcmp(read.magic, kProducerMagic, sizeof(read.magic)) != 0) return false;
  for (size_t i = sizeof(ProducerFrameHeader); i < kFrameBytes; ++i) {
    if (frame[i] != PatternByte(i, read.seed, read.sequence)) return false;
  }
  *header = read;
  return true;
}

uint64_t HashFrame(const uint8_t* frame, size_t size) {
  uint64_t hash = 1469598103934665603ull;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, frame + i, 8);
    hash = (hash ^ word) * 1099511628211ull;
  }
  for (; i < size; ++i) hash = (hash ^ frame[i]) * 1099511628211ull;
  return hash;
}

}  // namespace veltrano::test
