# Cross build for 64-bit little-endian POWER, as Debian's ppc64el has it
# (packages g++-powerpc64le-linux-gnu and qemu-user).
set(kestrig_triple powerpc64le-linux-gnu)
set(kestrig_processor ppc64le)
set(kestrig_qemu ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
