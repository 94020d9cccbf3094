# GoogleTest built from source for the target, for builds (the cross ones)
# that have no GoogleTest library of their own. find_package(GTest) then finds
# these targets through CMake's package redirects instead of searching.
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Only what the tests link gets built.
add_subdirectory(${NORVASK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Compiled as the tests' own code is in a cross build (tests/CMakeLists.txt).
foreach(target IN ITEMS gtest gtest_main gmock gmock_main)
  target_compile_options(${target} PRIVATE -O1)
endforeach()
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
  "# GoogleTest's targets come from the source tree added above.\n")
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config-version.cmake
  "set(PACKAGE_VERSION_COMPATIBLE TRUE)\nset(PACKAGE_VERSION_EXACT FALSE)\n")
include(GoogleTest)
