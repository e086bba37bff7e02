# Cross build with Debian's cross compiler for `dualrow_triple`, the toolchain
# files' one shared part. Tests run under qemu-user (`dualrow_qemu`): there is
# no binfmt_misc here, so every program built for the target is started
# through the emulator, never directly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${dualrow_triple}-gcc)
set(CMAKE_CXX_COMPILER ${dualrow_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${dualrow_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${dualrow_qemu} -L /usr/${dualrow_triple})
