# Shared by the cross toolchain files beside it, which set kestrig_triple,
# kestrig_processor and kestrig_qemu: Debian's g++-<triple> cross compiler
# and its C library under /usr/<triple>. The tests and the tool they start
# run under qemu-user, or directly where the kernel runs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${kestrig_processor})
set(CMAKE_C_COMPILER ${kestrig_triple}-gcc)
set(CMAKE_CXX_COMPILER ${kestrig_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${kestrig_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tool and the tests are linked statically. Under qemu-user a
# dynamically linked process that forks can hang in the child before its
# exec (every time under qemu-i386); a static one does not. And a kernel
# that runs the target's programs itself would not find the target's C
# library, which lives under /usr/<triple>.
set(KESTRIG_STATIC ON CACHE BOOL "Link the tool, and the tests, fully statically")
# Under qemu-user, unless -DKESTRIG_CROSS_NATIVE=ON says that this machine's
# kernel runs the target's programs itself (i686 on most x86-64 kernels).
if(NOT KESTRIG_CROSS_NATIVE)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${kestrig_qemu})
endif()
