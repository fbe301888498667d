# Shared by the cross toolchain files beside it, which set kestrig_triple,
# kestrig_processor and kestrig_qemu: Debian's g++-<triple> cross compiler,
# its C library under /usr/<triple>, and qemu-user, through which CTest runs
# the tests and the end-to-end tests run the tool.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${kestrig_processor})
set(CMAKE_C_COMPILER ${kestrig_triple}-gcc)
set(CMAKE_CXX_COMPILER ${kestrig_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${kestrig_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Where the kernel runs the target's programs itself (i686 on x86-64),
# -DKESTRIG_CROSS_NATIVE=ON runs them without qemu, linked statically, as the
# target's C library is not where the kernel's loader would look for it.
if(KESTRIG_CROSS_NATIVE)
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${kestrig_qemu} -L /usr/${kestrig_triple})
endif()
