# Tests of the built daemon as a file: what it exports and what it links.
# They read the binary with the toolchain's own nm and readelf, so they run on
# this machine for every target.
# A dynamic build needs the C library alone and keeps code and data (the 16 KiB
# settings line buffer included) under 56 KiB (48 until the daemon learnt to
# drive kernel LEDs and watch radios by other names); a static one needs nothing.
set(norvask_needed libc.so.6)
set(norvask_max_image 57344)
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
# norvask-status and the owner's page's CGI program: the C library alone,
# hardened alike, nothing exported, and none of the functions that write an
# LED linked in.
foreach(program IN ITEMS status cgi)
  add_test(NAME ${program}_binary
    COMMAND ${CMAKE_COMMAND}
      -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF}
      -DBINARY=$<TARGET_FILE:norvask-${program}> -DEXPORTS= "-DNEEDED=${norvask_needed}"
      -DABSENT=set_led1,set_led2,blink_led1,blink_led2,run_tick,led_act,leds_bind,leds_release
      -P ${CMAKE_CURRENT_LIST_DIR}/check-binary.cmake)
endforeach()

# The built daemon on the board simulator (sim/): this build's board, or for
# a cross build the host's, built by the default preset, with the daemon
# under this build's emulator.
find_program(NORVASK_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(NORVASK_PYTHON python3)
set(NORVASK_SIM_BOARD "${PROJECT_SOURCE_DIR}/build/sim/norvask-board" CACHE FILEPATH
  "The host's board simulator (default preset) that runs a cross build's daemon")
if(NORVASK_SIM)
  set(norvask_board $<TARGET_FILE:norvask-board>)
else()
  set(norvask_board ${NORVASK_SIM_BOARD})
endif()
set(norvask_board_env
  NORVASK_BOARD=${norvask_board} NORVASK_SIM_DAEMON=$<TARGET_FILE:norvaskd> PYTHONDONTWRITEBYTECODE=1)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # The emulator answers the device calls itself; mode 17 needs no answers.
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  list(APPEND norvask_board_env "NORVASK_SIM_PREFIX=${emulator}" NORVASK_SIM_DEVICES=none)
endif()
if(NORVASK_PYTHON)
  add_test(NAME daemon_runs
    COMMAND ${NORVASK_PYTHON} ${PROJECT_SOURCE_DIR}/sim/tests/run.py test_router.Runs
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/sim/tests)
  set_tests_properties(daemon_runs PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 60 ENVIRONMENT "${norvask_board_env}")
  # The start script runs the host daemon.
  if(NOT CMAKE_CROSSCOMPILING)
    # Four parts of the script's tests, side by side: they mostly wait for
    # the daemon's ticks.
    foreach(shard RANGE 1 4)
      add_test(NAME init_script.${shard}of4
        COMMAND ${NORVASK_PYTHON} ${PROJECT_SOURCE_DIR}/sim/tests/run.py test_router.StartScript ${shard}/4
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/sim/tests)
      set_tests_properties(init_script.${shard}of4 PROPERTIES
        SKIP_RETURN_CODE 77 TIMEOUT 120
        ENVIRONMENT "${norvask_board_env};NORVASK_BUILD_DIR=${CMAKE_BINARY_DIR}")
    endforeach()
  endif()
else()
  message(WARNING "python3 not found: the daemon is not run after the build")
endif()
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME init_script_lint COMMAND shellcheck --shell=sh ${PROJECT_SOURCE_DIR}/dist/init)
endif()
