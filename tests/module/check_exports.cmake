# Checks the built module with objdump: exactly the nine exports, by their plain
# (undecorated) names, and imports of Windows system DLLs only (the C and C++
# runtimes are linked statically; the module is loaded into other people's processes).
# Variables: OBJDUMP, MODULE.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} RESULT_VARIABLE result OUTPUT_VARIABLE dump ERROR_VARIABLE dump)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump -p ${MODULE} failed:\n${dump}")
endif()

# "[   0] DllCanUnloadNow" lines of the export name table, up to its blank line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${MODULE} has no export name table")
endif()
string(SUBSTRING "${dump}" ${start} -1 table)
string(FIND "${table}" "\n\n" end)
string(SUBSTRING "${table}" 0 ${end} table)
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(exports "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND exports "${name}")
endforeach()
list(SORT exports)
set(expected DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer
  VeltranoVirtualCamera_CloseProducer VeltranoVirtualCamera_CreateProducer VeltranoVirtualCamera_GetCurrentFormat
  VeltranoVirtualCamera_WriteFrame)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exports of ${MODULE}:\n  ${exports}\nexpected:\n  ${expected}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(system_dlls advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll user32.dll gdi32.dll shell32.dll
  windowscodecs.dll ntdll.dll)
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${MODULE} imports ${dll}, which is not a Windows system DLL")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
message(STATUS "nine exports by their plain names: ${exports}")
