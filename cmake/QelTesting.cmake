# GoogleTest: the system package on Linux, built from the Debian source
# package when cross-compiling for Windows.
if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()

# qel_add_test(name SOURCES a.cpp b.cpp [LIBRARIES x y] [LABELS l])
# One executable, one ctest entry; the emulator (wine) is applied
# automatically when cross-compiling.
function(qel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  qel_target_defaults(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${ARG_LIBRARIES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  # The i386 world runs under qemu in user mode, which has limits of its own.
  if(CMAKE_CROSSCOMPILING_EMULATOR MATCHES "qemu")
    target_compile_definitions(${name} PRIVATE QEL_TEST_UNDER_QEMU_USER)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
