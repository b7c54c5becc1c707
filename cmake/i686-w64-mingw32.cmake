# The 32-bit Windows console program, the product's home: PE32, run under
# 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PLB_MINGW_TARGET i686-w64-mingw32)
# The image format objdump names for it, which a test checks.
set(PLB_PE_FORMAT pei-i386)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
