#include "common/child_process.h"

#include <shellapi.h>

#include <map>

namespace veltrano::test {
namespace {

std::map<std::wstring, ChildMain>& Registry() {
  static std::map<std::wstring, ChildMain> modes;
  return modes;
}

}  // namespace

ChildModeRegistrar::ChildModeRegistrar(const wchar_t* name, ChildMain main) { Registry()[name] = main; }

bool RunChildModeIfRequested(int* exit_code) {
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return false;
  bool ran = false;
  if (argc >= 3 && std::wstring(argv[1]) == L"--child") {
    const auto found = Registry().find(argv[2]);
    std::vector<std::wstring> args(argv + 3, argv + argc);
    *exit_code = found == Registry().end() ? 99 : found->second(args);
    ran = true;
  }
  ::LocalFree(argv);
  return ran;
}

bool ChildProcess::Wait(DWORD timeout_ms) {
  if (!process) return false;
  if (::WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 98);
    ::WaitForSingleObject(process.get(), 5000);
    exit_code = 98;
    return false;
  }
  ::GetExitCodeProcess(process.get(), &exit_code);
  return true;
}

ChildProcess SpawnChild(const std::wstring& name, const std::wstring& args) {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\" --child " + name;
  if (!args.empty()) command += L" " + args;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ChildProcess child;
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
    ::CloseHandle(info.hThread);
    child.process.reset(info.hProcess);
  }
  return child;
}

platform::UniqueHandle CreateNamedEvent(const std::wstring& name) {
  return platform::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
}

platform::UniqueHandle OpenNamedEvent(const std::wstring& name) {
  return platform::UniqueHandle(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
}

}  // namespace veltrano::test
