# armhf (g++-arm-linux-gnueabihf, tests under qemu-arm).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(dualrow_triple arm-linux-gnueabihf)
set(dualrow_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
