# Compiler settings shared by the project's own targets (not third-party code).
function(qel_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
    # The product's own code narrows no value silently: the 32-bit product
    # counts files past 4 GiB, where a 64-bit count cut to 32 bits would go
    # unseen. GCC's -Wconversion; clang's would also take every change of
    # sign, so there only the cut from 64 to 32 bits. The tests may narrow
    # what they build.
    if(NOT CMAKE_CURRENT_SOURCE_DIR MATCHES "^${PROJECT_SOURCE_DIR}/tests(/|$)")
      if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -Wconversion)
      else()
        target_compile_options(${target} PRIVATE -Wshorten-64-to-32)
      endif()
    endif()
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
