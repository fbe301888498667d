# Cross build for 64-bit RISC-V (packages g++-riscv64-linux-gnu and qemu-user).
set(kestrig_triple riscv64-linux-gnu)
set(kestrig_processor riscv64)
set(kestrig_qemu riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
