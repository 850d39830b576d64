# Compiler settings shared by the project's own targets (not third-party code).
function(qel_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  endif()
endfunction()

# Platform libraries that stand in for what Win32Posix provides on POSIX.
function(qel_link_win32 target)
  if(WIN32)
    target_link_libraries(${target} PRIVATE shell32 user32 advapi32)
  else()
    target_link_libraries(${target} PRIVATE win32posix)
  endif()
endfunction()
