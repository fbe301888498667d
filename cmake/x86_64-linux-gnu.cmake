# Build for x86-64 with the triple-named compiler, statically, as the other
# toolchain files here build: the release's amd64 binary. On an x86-64
# machine the compiler is Debian's g++; elsewhere g++-x86-64-linux-gnu.
set(kestrig_triple x86_64-linux-gnu)
set(kestrig_processor x86_64)
set(kestrig_qemu x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
