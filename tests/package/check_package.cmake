# Installs this build tree, and the other bitness's when it is there, into one fresh
# prefix; builds the consumer host against it with this tree's toolchain, and runs it.
# Variables: BUILD_DIR, OTHER_BUILD_DIR (may be empty), TOOLCHAIN, ARCH, WORK_DIR,
# EMULATOR (may be empty on Windows).
cmake_minimum_required(VERSION 3.25)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
endfunction()

set(sdk ${WORK_DIR}/sdk)
file(REMOVE_RECURSE ${WORK_DIR})
run("installing ${BUILD_DIR}" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${sdk})
if(OTHER_BUILD_DIR AND EXISTS ${OTHER_BUILD_DIR}/bin/VeltranoVirtualCamera.dll)
  run("installing ${OTHER_BUILD_DIR}" ${CMAKE_COMMAND} --install ${OTHER_BUILD_DIR} --prefix ${sdk})
else()
  message(STATUS "the other bitness is not built: only ${ARCH} is installed")
endif()
foreach(arch x64 x86)
  if(EXISTS ${sdk}/lib/cmake/VeltranoVirtualCamera-${arch})
    message(STATUS "installed: ${arch}")
  endif()
endforeach()

run("configuring the consumer" ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK_DIR}/consumer -G Ninja
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release -DVELTRANO_SDK=${sdk} -DEXPECTED_ARCH=${ARCH})
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run("running the consumer" ${EMULATOR} ${WORK_DIR}/consumer/consumer.exe)
message(STATUS "a ${ARCH} host found the ${ARCH} package, linked and ran")
