# Cross build for IBM Z, big-endian (packages g++-s390x-linux-gnu and qemu-user).
set(kestrig_triple s390x-linux-gnu)
set(kestrig_processor s390x)
set(kestrig_qemu s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
