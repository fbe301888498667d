# Cross build for 32-bit x86 (packages g++-i686-linux-gnu and qemu-user).
set(kestrig_triple i686-linux-gnu)
set(kestrig_processor i686)
set(kestrig_qemu i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
