# Compiler settings shared by the project's own targets (not third-party code).
function(qel_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
    # GCC 12 reports overlapping copies inside libstdc++'s own std::string
    # operator+ once it is inlined at -O2 and above (GCC bug 105329): false
    # positives that stop optimised builds, so that check is off there.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Wno-restrict>)
    endif()
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
