# SANITIZE=address,undefined or SANITIZE=thread instruments everything built here,
# GoogleTest included, and sets the runtime options ctest passes to each test.
set(KORVEX_TEST_ENV "")
if(SANITIZE)
  set(_flags -fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_flags})
  add_link_options(-fsanitize=${SANITIZE})
  if(SANITIZE MATCHES "thread")
    set(KORVEX_TEST_ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
  else()
    set(KORVEX_TEST_ENV "ASAN_OPTIONS=detect_leaks=1" "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
  endif()
endif()
