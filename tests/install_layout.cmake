# Installs the build tree under a scratch prefix and checks where each file lands: the tool with the
# executables and beside it the empty folder of device files that it looks in, the example groups
# file with the package's data, nothing else beside the tool.
set(prefix ${BUILD_DIR}/install-layout)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/vexilctl share/vexilctl/example.json)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${prefix}/bin/device_info/json)
  message(FATAL_ERROR "no device-file folder beside the tool")
endif()
file(GLOB beside_tool RELATIVE ${prefix}/bin ${prefix}/bin/*)
if(NOT beside_tool STREQUAL "device_info;vexilctl")
  message(FATAL_ERROR "bin/ holds more than the tool: ${beside_tool}")
endif()
file(REMOVE_RECURSE ${prefix})
