# arm64 (g++-aarch64-linux-gnu, tests under qemu-aarch64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(dualrow_triple aarch64-linux-gnu)
set(dualrow_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
