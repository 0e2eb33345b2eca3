# SANITIZE=address,undefined or SANITIZE=thread instruments everything built here,
# GoogleTest included; the runtime options are compiled into the test programs
# (tests/support/SanitizerOptions.cpp).
if(SANITIZE)
  set(_flags -fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_flags})
  add_link_options(-fsanitize=${SANITIZE})
endif()
