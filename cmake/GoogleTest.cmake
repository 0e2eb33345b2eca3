# GoogleTest from the sources Debian's googletest package installs, built with our flags
# (so sanitizer builds instrument it too).
set(KORVEX_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KORVEX_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# korvex_test(name dir [LABELS l...] [LIBS] libs...): one test program from every .cpp in
# tests/<dir>, each GoogleTest case registered with ctest under its own name (and labels).
function(korvex_test name dir)
  cmake_parse_arguments(PARSE_ARGV 2 KT "" "" "LABELS;LIBS")
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  korvex_warnings(${name})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${KT_UNPARSED_ARGUMENTS} ${KT_LIBS} gtest gmock gtest_main)
  # The sanitizers' runtime options are compiled into every test program.
  target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/SanitizerOptions.cpp)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
  if(KT_LABELS)
    # A list of labels does not survive gtest_discover_tests' PROPERTIES (it is split into
    # separate arguments): a script run after the discovered tests labels them all.
    set(_label_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${_label_file}"
      "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${KT_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_label_file}")
  endif()
endfunction()
