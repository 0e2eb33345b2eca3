# Warnings for every target of the project (not for third-party sources).
function(korvex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KORVEX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
