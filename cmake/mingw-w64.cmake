# What both Windows toolchain files share: Debian's MinGW-w64 for the target
# named by PLB_MINGW_TARGET, with the POSIX thread model, which gives the C++
# threading library that GoogleTest needs. Programs built with it (tests
# included) run under Wine, through the emulator the including file names.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PLB_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLB_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${PLB_MINGW_TARGET}-windres)
set(CMAKE_OBJDUMP ${PLB_MINGW_TARGET}-objdump CACHE FILEPATH "objdump for the target")

set(CMAKE_FIND_ROOT_PATH /usr/${PLB_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
