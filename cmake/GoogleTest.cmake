# GoogleTest from the sources Debian's googletest package installs, built with our flags
# (so sanitizer builds instrument it too).
set(KORVEX_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KORVEX_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# korvex_test(name dir libs...): one test program from every .cpp in tests/<dir>,
# each GoogleTest case registered with ctest under its own name.
function(korvex_test name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  korvex_warnings(${name})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} gtest gmock gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "${KORVEX_TEST_ENV}" TIMEOUT 120)
endfunction()
