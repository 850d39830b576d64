# 32-bit Linux (i386): the product's 32-bit arithmetic (size_t, long and
# pointer differences of 32 bits) on our own Win32 layer. These machines run
# no i386 program natively: the tests run under qemu-i386 in user mode, the
# programs they start through the binfmt_misc entry that scripts/setup.sh
# registers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
