# Cross build for 64-bit ARM (packages g++-aarch64-linux-gnu and qemu-user).
set(kestrig_triple aarch64-linux-gnu)
set(kestrig_processor aarch64)
set(kestrig_qemu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
