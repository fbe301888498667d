# Cross build for 32-bit ARM with hardware floating point, as Debian's armhf
# and 32-bit Raspberry Pi OS have it (packages g++-arm-linux-gnueabihf and
# qemu-user).
set(kestrig_triple arm-linux-gnueabihf)
set(kestrig_processor arm)
set(kestrig_qemu arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
