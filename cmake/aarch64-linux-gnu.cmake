# 64-bit ARM Linux, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PLB_LINUX_TARGET aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
