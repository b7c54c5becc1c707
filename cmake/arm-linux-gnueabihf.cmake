# 32-bit ARM Linux (hard float), run under qemu-user: the build where a
# missing large-file setting would show.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(PLB_LINUX_TARGET arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
