# Checks a built program: its exported dynamic symbols are exactly EXPORTS and
# its NEEDED entries are exactly NEEDED (empty for a static build).
# cmake -DNM=... -DREADELF=... -DBINARY=... "-DEXPORTS=a;b" "-DNEEDED=libc.so.6" -P check-binary.cmake
# A program linked statically at fixed addresses has no dynamic sections, so
# it exports nothing and binds nothing at run time; the daemon linked so keeps
# its exports (EXPORTS) as the only global names of its symbol table. With OBJECTS (the program's own archives, for a static build) the
# stack protector is looked for in them.
foreach(var NM READELF BINARY)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${BINARY}
  OUTPUT_VARIABLE re_out ERROR_VARIABLE re_err RESULT_VARIABLE re_rc)
if(NOT re_rc EQUAL 0)
  message(FATAL_ERROR "${READELF} -d failed: ${re_err}")
endif()
set(symbol_table -D)
set(nm_out "")
if(re_out MATCHES "There is no dynamic section")
  set(symbol_table -g)
endif()
if(NOT symbol_table STREQUAL "-g" OR EXPORTS)
  execute_process(COMMAND ${NM} ${symbol_table} --defined-only ${BINARY}
    OUTPUT_VARIABLE nm_out ERROR_VARIABLE nm_err RESULT_VARIABLE nm_rc)
  if(NOT nm_rc EQUAL 0)
    message(FATAL_ERROR "${NM} ${symbol_table} failed: ${nm_err}")
  endif()
endif()
set(exported "")
string(REPLACE "\n" ";" nm_lines "${nm_out}")
foreach(line IN LISTS nm_lines)
  # "<address> <type> <name>"; a function shows as T or W, data as B, D or V.
  # Library data copied into the program (stdout@GLIBC_2.2.5) is not ours.
  if(line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +([^ @]+)$")
    list(APPEND exported "${CMAKE_MATCH_2}(${CMAKE_MATCH_1})")
    list(APPEND exported_names "${CMAKE_MATCH_2}")
  endif()
endforeach()
list(SORT exported_names)
set(expected_names ${EXPORTS})
list(SORT expected_names)
if(NOT "${exported_names}" STREQUAL "${expected_names}")
  message(FATAL_ERROR "exported symbols: ${exported}; expected exactly: ${expected_names}")
endif()
foreach(entry IN LISTS exported)
  if(entry MATCHES "\\((T|t|W|w|i)\\)$")
    message(FATAL_ERROR "a function is exported: ${entry}")
  endif()
endforeach()

string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" needed_lines "${re_out}")
set(needed "")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" lib "${line}")
  list(APPEND needed "${lib}")
endforeach()
# The dynamic loader is there wherever the program runs at all: on aarch64 the
# stack protector's guard word comes from it.
execute_process(COMMAND ${READELF} -lW ${BINARY} OUTPUT_VARIABLE segments RESULT_VARIABLE rl_rc)
if(segments MATCHES "Requesting program interpreter: [^]\n]*/([^]/\n]+)\\]")
  list(REMOVE_ITEM needed "${CMAKE_MATCH_1}")
endif()
if(NOT "${needed}" STREQUAL "${NEEDED}")
  message(FATAL_ERROR "NEEDED: '${needed}'; expected: '${NEEDED}'")
endif()
message(STATUS "${BINARY}: exports ${exported}; NEEDED '${needed}'")

# Hardened as a program that runs as root: every relocation resolved at start
# and read-only afterwards, and the stack protector in the code.
if(symbol_table STREQUAL "-g")
  set(bound "no dynamic relocations")
elseif(re_out MATCHES "\\(FLAGS\\)[^\n]*BIND_NOW" OR re_out MATCHES "\\(FLAGS_1\\)[^\n]*NOW")
  set(bound BIND_NOW)
else()
  message(FATAL_ERROR "not bound at start (no BIND_NOW)")
endif()
if(NOT rl_rc EQUAL 0 OR NOT segments MATCHES "GNU_RELRO")
  message(FATAL_ERROR "no read-only relocations (no GNU_RELRO segment)")
endif()
# A dynamic build imports the failure handler. A static one holds the C
# library's, which uses it whatever our flags: there the program's own code
# (OBJECTS) must call it.
if(OBJECTS)
  execute_process(COMMAND ${NM} ${OBJECTS} OUTPUT_VARIABLE symbols ERROR_QUIET)
  set(protected "${OBJECTS}")
else()
  execute_process(COMMAND ${NM} -D ${BINARY} OUTPUT_VARIABLE dynamic_symbols ERROR_QUIET)
  execute_process(COMMAND ${NM} ${BINARY} OUTPUT_VARIABLE symbols ERROR_QUIET)
  set(protected "${BINARY}")
endif()
if(NOT "${dynamic_symbols}${symbols}" MATCHES "__stack_chk_fail")
  message(FATAL_ERROR "no stack protector (nothing in ${protected} calls __stack_chk_fail)")
endif()
message(STATUS "hardened: ${bound}, GNU_RELRO, stack protector")

# With ABSENT (names separated by commas): none of these functions is in the
# program (checked where it keeps its symbol table, as built).
string(REPLACE "," ";" absent "${ABSENT}")
if(absent)
  execute_process(COMMAND ${NM} -C ${BINARY} OUTPUT_VARIABLE demangled ERROR_QUIET)
endif()
foreach(name IN LISTS absent)
  if(demangled MATCHES " ${name}\\(")
    message(FATAL_ERROR "${name} is linked in")
  endif()
endforeach()

# With SIZE (the toolchain's size) and MAX_IMAGE: code and data, text + data +
# bss as size prints them, stay under MAX_IMAGE bytes.
if(SIZE AND MAX_IMAGE)
  execute_process(COMMAND ${SIZE} ${BINARY} OUTPUT_VARIABLE size_out RESULT_VARIABLE size_rc)
  if(NOT size_rc EQUAL 0 OR NOT size_out MATCHES "\n *([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)")
    message(FATAL_ERROR "${SIZE} failed: ${size_out}")
  endif()
  set(image ${CMAKE_MATCH_4})
  if(image GREATER_EQUAL MAX_IMAGE)
    message(FATAL_ERROR "text ${CMAKE_MATCH_1} + data ${CMAKE_MATCH_2} + bss ${CMAKE_MATCH_3} = ${image} bytes, over the ${MAX_IMAGE} budget")
  endif()
  message(STATUS "text + data + bss: ${image} bytes (budget ${MAX_IMAGE})")
endif()
