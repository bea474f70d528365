// Self-registration against the prefix's real registry and filter mapper. The test
// executable is the registered module here: its own path is what InprocServer32
// must name. Every test starts and ends with nothing registered.
#include <dshow.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_identity.h"
#include "platform/com_ptr.h"
#include "platform/module_instance.h"
#include "platform/task_mem.h"
#include "server/self_registration.h"

namespace veltrano::test {
namespace {

using platform::ComPtr;

constexpr wchar_t kClassKey[] = L"CLSID\\{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}";
constexpr wchar_t kServerKey[] = L"CLSID\\{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}\\InprocServer32";
constexpr wchar_t kClsidText[] = L"{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}";

struct RegValue {
  LONG status = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

RegValue ReadValue(const wchar_t* subkey, const wchar_t* name) {
  RegValue value;
  HKEY key = nullptr;
  value.status = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey, 0, KEY_READ, &key);
  if (value.status != ERROR_SUCCESS) return value;
  DWORD size = 0;
  value.status = ::RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (value.status == ERROR_SUCCESS) {
    value.bytes.resize(size);
    value.status = ::RegQueryValueExW(key, name, nullptr, &value.type, value.bytes.data(), &size);
    value.bytes.resize(size);
  }
  ::RegCloseKey(key);
  return value;
}

// The bytes of a REG_SZ holding `text`, terminator included.
std::vector<BYTE> StringBytes(const std::wstring& text) {
  const auto* first = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(first, first + (text.size() + 1) * sizeof(wchar_t));
}

bool ClassKeyExists() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

std::wstring OwnModulePath() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

// What the system device enumerator lists under our friendly name.
struct ListedDevice {
  std::wstring clsid;
  std::vector<BYTE> filter_data;
};

std::wstring ReadBagString(IPropertyBag* bag, const wchar_t* name) {
  VARIANT value;
  ::VariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR) text = value.bstrVal;
  ::VariantClear(&value);
  return text;
}

std::vector<BYTE> ReadBagBytes(IPropertyBag* bag, const wchar_t* name) {
  VARIANT value;
  ::VariantInit(&value);
  std::vector<BYTE> bytes;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == (VT_ARRAY | VT_UI1)) {
    void* data = nullptr;
    if (SUCCEEDED(::SafeArrayAccessData(value.parray, &data))) {
      const auto* first = static_cast<const BYTE*>(data);
      bytes.assign(first, first + value.parray->rgsabound[0].cElements);
      ::SafeArrayUnaccessData(value.parray);
    }
  }
  ::VariantClear(&value);
  return bytes;
}

std::vector<ListedDevice> ListedDevices() {
  const platform::ScopedComInit com(COINIT_APARTMENTTHREADED);
  std::vector<ListedDevice> devices;
  ComPtr<ICreateDevEnum> enumerator;
  HRESULT hr = ::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  enumerator.put_void());
  EXPECT_EQ(S_OK, hr);
  if (FAILED(hr)) return devices;
  ComPtr<IEnumMoniker> monikers;
  hr = enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.put(), 0);
  if (hr != S_OK) return devices;  // S_FALSE: the category is empty
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.put_void()))) continue;
    if (ReadBagString(bag.get(), L"FriendlyName") != camera::kCameraFriendlyName) continue;
    devices.push_back({ReadBagString(bag.get(), L"CLSID"), ReadBagBytes(bag.get(), L"FilterData")});
  }
  return devices;
}

bool Contains(const std::vector<BYTE>& bytes, const GUID& guid) {
  const auto* first = reinterpret_cast<const BYTE*>(&guid);
  return std::search(bytes.begin(), bytes.end(), first, first + sizeof(GUID)) != bytes.end();
}

// Runs `call` on a new thread whose COM is in the multithreaded apartment.
template <typename Call>  // a function (STDAPI) or a lambda
HRESULT CallInMultithreadedApartment(Call call) {
  HRESULT result = E_UNEXPECTED;
  std::thread thread([&] {
    const platform::ScopedComInit com(COINIT_MULTITHREADED);
    if (com.succeeded()) result = call();
  });
  thread.join();
  return result;
}

class SelfRegistrationTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, DllUnregisterServer()); }
  void TearDown() override {
    platform::SetModuleInstance(::GetModuleHandleW(nullptr));
    EXPECT_EQ(S_OK, DllUnregisterServer());
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_TRUE(ListedDevices().empty());
  }

  // Both halves in place, naming `module_path`.
  static void ExpectRegistered(const std::wstring& module_path) {
    const RegValue name = ReadValue(kClassKey, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, name.status);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), name.type);
    EXPECT_EQ(48u, name.bytes.size());
    EXPECT_EQ(StringBytes(L"Veltrano Virtual Camera"), name.bytes);

    const RegValue server = ReadValue(kServerKey, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, server.status);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), server.type);
    EXPECT_EQ((module_path.size() + 1) * 2, server.bytes.size());
    EXPECT_EQ(StringBytes(module_path), server.bytes);

    const RegValue threading = ReadValue(kServerKey, L"ThreadingModel");
    ASSERT_EQ(ERROR_SUCCESS, threading.status);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), threading.type);
    EXPECT_EQ(StringBytes(L"Both"), threading.bytes);
    EXPECT_EQ(10u, threading.bytes.size());

    const std::vector<ListedDevice> devices = ListedDevices();
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ(kClsidText, devices[0].clsid);
    // The mapper's record: version 2 after conversion, merit MERIT_DO_NOT_USE, one
    // output pin of video YUY2.
    const std::vector<BYTE>& data = devices[0].filter_data;
    ASSERT_GE(data.size(), 16u);
    const auto* words = reinterpret_cast<const DWORD*>(data.data());
    EXPECT_EQ(2u, words[0]);
    EXPECT_EQ(static_cast<DWORD>(MERIT_DO_NOT_USE), words[1]);
    EXPECT_EQ(1u, words[2]);
    EXPECT_TRUE(Contains(data, MEDIATYPE_Video));
    EXPECT_TRUE(Contains(data, MEDIASUBTYPE_YUY2));
  }
};

TEST(HResultConversion, Win32CodesBecomeFacilityWin32Failures) {
  struct Row {
    LONG code;
    HRESULT expected;
  };
  const Row rows[] = {
      {ERROR_SUCCESS, S_OK},
      {ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002)},
      {ERROR_ACCESS_DENIED, E_ACCESSDENIED},
      {ERROR_MOD_NOT_FOUND, static_cast<HRESULT>(0x8007007E)},
      {0x12345, static_cast<HRESULT>(0x80072345)},  // only the low 16 bits are kept
      {static_cast<LONG>(E_FAIL), E_FAIL},           // already an HRESULT
  };
  for (const Row& row : rows) EXPECT_EQ(row.expected, server::HResultFromWin32(row.code)) << row.code;

  ::SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(E_FAIL, server::HResultFromLastError());
  ::SetLastError(ERROR_OUTOFMEMORY);
  EXPECT_EQ(static_cast<HRESULT>(0x8007000E), server::HResultFromLastError());
}

TEST_F(SelfRegistrationTest, RegisterWritesClassKeysAndMapperEntry) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  ExpectRegistered(OwnModulePath());
}

TEST_F(SelfRegistrationTest, RegisterTwiceAndUnregisterTwice) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  ASSERT_EQ(S_OK, DllRegisterServer());
  ExpectRegistered(OwnModulePath());

  EXPECT_EQ(S_OK, DllUnregisterServer());
  EXPECT_FALSE(ClassKeyExists());
  EXPECT_TRUE(ListedDevices().empty());
  EXPECT_EQ(S_OK, DllUnregisterServer());  // nothing left to delete
  EXPECT_FALSE(ClassKeyExists());
}

TEST_F(SelfRegistrationTest, DllInstallRegistersOrUnregistersWhateverTheCommandLine) {
  const wchar_t* command_lines[] = {nullptr, L"", L"user", L"/i:anything at all"};
  for (const wchar_t* command_line : command_lines) {
    SCOPED_TRACE(command_line ? command_line : L"(null)");
    ASSERT_EQ(S_OK, DllInstall(TRUE, command_line));
    ExpectRegistered(OwnModulePath());
    ASSERT_EQ(S_OK, DllInstall(FALSE, command_line));
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_TRUE(ListedDevices().empty());
    EXPECT_EQ(S_OK, DllInstall(FALSE, command_line));
  }
}

TEST_F(SelfRegistrationTest, RegisterOnAMultithreadedThreadWritesNothing) {
  EXPECT_EQ(RPC_E_CHANGED_MODE, CallInMultithreadedApartment(&DllRegisterServer));
  EXPECT_FALSE(ClassKeyExists());
  EXPECT_TRUE(ListedDevices().empty());
  EXPECT_EQ(RPC_E_CHANGED_MODE, CallInMultithreadedApartment([] { return DllInstall(TRUE, L""); }));
  EXPECT_FALSE(ClassKeyExists());
}

TEST_F(SelfRegistrationTest, AFailedRegistrationLeavesAnEarlierWorkingOneInPlace) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  // The earlier registration names another copy of the module.
  const std::wstring other_copy = L"C:\\Program Files\\Veltrano\\VeltranoVirtualCamera.dll";
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, REG_SZ, other_copy.c_str(),
                                             static_cast<DWORD>((other_copy.size() + 1) * sizeof(wchar_t))));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CallInMultithreadedApartment(&DllRegisterServer));
  EXPECT_TRUE(ClassKeyExists()) << "the earlier registration's keys stay";
  const RegValue server = ReadValue(kServerKey, nullptr);
  ASSERT_EQ(ERROR_SUCCESS, server.status) << "the listed device can still be loaded";
  EXPECT_EQ(StringBytes(other_copy), server.bytes) << "and from where it was before";
  EXPECT_EQ(StringBytes(L"Both"), ReadValue(kServerKey, L"ThreadingModel").bytes);
  EXPECT_EQ(1u, ListedDevices().size());
  EXPECT_EQ(S_OK, DllUnregisterServer());
  EXPECT_FALSE(ClassKeyExists());
}

TEST_F(SelfRegistrationTest, UnregisterOnAMultithreadedThreadStillRemovesTheClassKeys) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(S_OK, CallInMultithreadedApartment(&DllUnregisterServer));
  EXPECT_FALSE(ClassKeyExists());
  // The mapper step needs COM in a single-threaded apartment and was skipped.
  EXPECT_EQ(1u, ListedDevices().size());
}

TEST_F(SelfRegistrationTest, UnreadableModulePathRegistersNothing) {
  // A handle that names no module: the loader's own error comes back.
  platform::SetModuleInstance(reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x7f120000)));
  EXPECT_EQ(static_cast<HRESULT>(0x8007007E), DllRegisterServer());
  EXPECT_FALSE(ClassKeyExists());
  EXPECT_TRUE(ListedDevices().empty());
  // No module handle recorded: the host's executable must not be registered instead.
  platform::SetModuleInstance(nullptr);
  EXPECT_EQ(E_UNEXPECTED, DllRegisterServer());
  EXPECT_FALSE(ClassKeyExists());
}

TEST(ModulePath, ReadsPathsOfAnyLength) {
  server::ModulePath path;
  ASSERT_EQ(S_OK, server::ReadModulePath(::GetModuleHandleW(nullptr), &path));
  EXPECT_EQ(OwnModulePath(), std::wstring(path.text.get(), path.length));
  EXPECT_EQ(L'\0', path.text[path.length]);
  EXPECT_EQ(E_POINTER, server::ReadModulePath(::GetModuleHandleW(nullptr), nullptr));
}

}  // namespace
}  // namespace veltrano::test
