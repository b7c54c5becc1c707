# What both ARM Linux toolchain files share: Debian's cross compilers for
# PLB_LINUX_TARGET. Everything is linked statically, so that qemu-user runs
# the programs (the tests start them through the kernel's binfmt_misc)
# without a target sysroot to find a dynamic loader in.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${PLB_LINUX_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${PLB_LINUX_TARGET}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

set(CMAKE_FIND_ROOT_PATH /usr/${PLB_LINUX_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
