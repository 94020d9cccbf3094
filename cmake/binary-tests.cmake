# Tests of the built daemon as a file: what it exports and what it links.
# They read the binary with the toolchain's own nm and readelf, so they run on
# this machine for every target.
# A dynamic build needs the C library alone and keeps code and data (the 16 KiB
# settings line buffer included) under 48 KiB; a static one needs nothing.
set(norvask_needed libc.so.6)
set(norvask_max_image 49152)
if(NORVASK_STATIC)
  set(norvask_needed "")
  set(norvask_max_image "")
endif()
string(REGEX REPLACE "nm$" "size" norvask_size_tool "${CMAKE_NM}")
add_test(NAME daemon_binary
  COMMAND ${CMAKE_COMMAND}
    -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF} -DSIZE=${norvask_size_tool}
    -DBINARY=$<TARGET_FILE:norvaskd> "-DEXPORTS=got_signal\;uart1_stat\;uart2_stat"
    "-DNEEDED=${norvask_needed}" "-DMAX_IMAGE=${norvask_max_image}"
    -P ${CMAKE_CURRENT_LIST_DIR}/check-binary.cmake)

add_test(NAME daemon_runs
  COMMAND ${PROJECT_SOURCE_DIR}/tests/router/daemon_runs_test.sh
    ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:norvaskd>)
set_tests_properties(daemon_runs PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)

# The start script runs the host daemon; a cross-built one needs an emulator.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME init_script_lint COMMAND shellcheck --shell=sh ${PROJECT_SOURCE_DIR}/dist/init)
  add_test(NAME init_script
    COMMAND ${PROJECT_SOURCE_DIR}/tests/router/init_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(init_script PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
