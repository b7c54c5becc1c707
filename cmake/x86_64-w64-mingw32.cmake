# The 64-bit Windows console program: PE32+, run under 64-bit Wine. It lets the
# Windows suite run on machines that cannot start 32-bit x86 programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PLB_MINGW_TARGET x86_64-w64-mingw32)
set(PLB_PE_FORMAT pei-x86-64)
# Started directly: Debian's wine wrapper would pick the 32-bit loader.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
