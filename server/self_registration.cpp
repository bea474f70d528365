#include "server/self_registration.h"

#include <dshow.h>
#include <olectl.h>
#include <strsafe.h>

#include <cwchar>
#include <iterator>
#include <new>

#include "camera/camera_identity.h"
#include "platform/com_ptr.h"
#include "platform/module_instance.h"
#include "platform/task_mem.h"
#include "server/registry_key.h"

namespace veltrano::server {
namespace {

// The longest path the loader can report, in characters.
constexpr DWORD kMaxModulePath = 32768;

struct ClassKeyPath {
  wchar_t text[MAX_PATH] = {};
};

// "CLSID\{EFEA0B78-...}" (44 characters).
ClassKeyPath BuildClassKeyPath() noexcept {
  wchar_t clsid[39] = {};
  ::StringFromGUID2(camera::kCameraClsid, clsid, static_cast<int>(std::size(clsid)));
  ClassKeyPath path;
  ::StringCchPrintfW(path.text, std::size(path.text), L"CLSID\\%ls", clsid);
  return path;
}

LONG SetStringValue(HKEY key, const wchar_t* name, const wchar_t* text, size_t characters) noexcept {
  const DWORD bytes = static_cast<DWORD>((characters + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG CreateKey(HKEY parent, const wchar_t* subkey, RegistryKey* key, DWORD* disposition = nullptr) noexcept {
  return ::RegCreateKeyExW(parent, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key->put(), disposition);
}

}  // namespace

HRESULT HResultFromWin32(LONG code) noexcept {
  if (code <= 0) return static_cast<HRESULT>(code);
  return static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(code) & 0xFFFFu));
}

HRESULT HResultFromLastError() noexcept {
  const DWORD error = ::GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HResultFromWin32(static_cast<LONG>(error));
}

HRESULT ReadModulePath(HMODULE module, ModulePath* path) noexcept {
  if (!path) return E_POINTER;
  // A null handle would name the host process's executable instead of this module.
  if (!module) return E_UNEXPECTED;
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]());
    if (!buffer) return E_OUTOFMEMORY;
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetModuleFileNameW(module, buffer.get(), capacity);
    if (length == 0) return HResultFromLastError();
    if (length < capacity) {
      path->text = std::move(buffer);
      path->length = length;
      return S_OK;
    }
    // A full buffer means the path was cut short: try again with room to spare.
    if (capacity >= kMaxModulePath) return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
  }
}

HRESULT WriteClassKeys(bool* created) noexcept {
  if (created) *created = false;
  ModulePath module_path;
  HRESULT hr = ReadModulePath(platform::ModuleInstance(), &module_path);
  if (FAILED(hr)) return hr;
  const ClassKeyPath key_path = BuildClassKeyPath();

  RegistryKey class_key;
  DWORD disposition = 0;
  LONG status = CreateKey(HKEY_CLASSES_ROOT, key_path.text, &class_key, &disposition);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  if (created) *created = disposition == REG_CREATED_NEW_KEY;
  status = SetStringValue(class_key.get(), nullptr, camera::kCameraFriendlyName,
                          std::size(camera::kCameraFriendlyName) - 1);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);

  RegistryKey server_key;
  status = CreateKey(class_key.get(), L"InprocServer32", &server_key);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = SetStringValue(server_key.get(), nullptr, module_path.text.get(), module_path.length);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  static constexpr wchar_t kThreadingModel[] = L"Both";
  status = SetStringValue(server_key.get(), L"ThreadingModel", kThreadingModel, std::size(kThreadingModel) - 1);
  server_key.reset();
  class_key.reset();
  return HResultFromWin32(status);
}

HRESULT RemoveClassKeys() noexcept {
  const ClassKeyPath key_path = BuildClassKeyPath();
  const LONG status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key_path.text);
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
  return HResultFromWin32(status);
}

HRESULT RegisterWithMapper() noexcept {
  platform::ComPtr<IFilterMapper2> mapper;
  HRESULT hr = ::CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  mapper.put_void());
  if (FAILED(hr)) return hr;

  // The record's pin name is a non-const pointer in the platform structure.
  wchar_t pin_name[std::size(camera::kCapturePinName)] = {};
  std::wmemcpy(pin_name, camera::kCapturePinName, std::size(pin_name));
  const REGPINTYPES pin_type = {&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2};
  const REGFILTERPINS pin = {pin_name, FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, &pin_type};
  REGFILTER2 filter = {};
  filter.dwVersion = 1;
  filter.dwMerit = MERIT_DO_NOT_USE;
  filter.cPins = 1;
  filter.rgPins = &pin;

  platform::ComPtr<IMoniker> moniker;
  hr = mapper->RegisterFilter(camera::kCameraClsid, camera::kCameraFriendlyName, moniker.put(),
                              &CLSID_VideoInputDeviceCategory, nullptr, &filter);
  return hr;
}

void UnregisterFromMapper() noexcept {
  platform::ComPtr<IFilterMapper2> mapper;
  if (FAILED(::CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                mapper.put_void()))) {
    return;
  }
  mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, camera::kCameraClsid);
}

}  // namespace veltrano::server

STDAPI DllRegisterServer() {
  using namespace veltrano::server;
  // COM first: a thread already in the multithreaded apartment gets
  // RPC_E_CHANGED_MODE here, before anything is written, so an earlier registration
  // stays exactly as it was. Uninitialised at the end of the call when the
  // initialisation succeeded (S_FALSE included).
  const veltrano::platform::ScopedComInit com(COINIT_APARTMENTTHREADED);
  if (!com.succeeded()) return com.result();
  // A failure takes back only a class key this call created: keys that were there
  // before belong to an earlier registration that works.
  bool created = false;
  HRESULT hr = WriteClassKeys(&created);
  if (SUCCEEDED(hr)) hr = RegisterWithMapper();
  if (FAILED(hr)) {
    if (created) RemoveClassKeys();
    return hr;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  using namespace veltrano::server;
  {
    const veltrano::platform::ScopedComInit com(COINIT_APARTMENTTHREADED);
    if (com.succeeded()) UnregisterFromMapper();
  }
  return RemoveClassKeys();
}

extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR /*command_line*/) {
  return install ? DllRegisterServer() : DllUnregisterServer();
}
