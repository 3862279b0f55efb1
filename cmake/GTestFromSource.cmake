# GoogleTest for the tests: the installed package, or, when
# FLASHMERE_GTEST_SOURCE_DIR names its sources (Debian's libgtest-dev puts
# them in /usr/src/googletest), built here for the target being compiled.
if(NOT FLASHMERE_GTEST_SOURCE_DIR)
  find_package(GTest REQUIRED)
  return()
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# With MSVC, the same C runtime as the rest of the build (no effect elsewhere).
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${FLASHMERE_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its own targets come with GTest:: aliases; its warnings are not ours to fix.
set_target_properties(gtest gtest_main gmock gmock_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
