# Fails unless the program at PROGRAM is a Windows image of the format FORMAT
# (as objdump names it: pei-i386 for PE32, pei-x86-64 for PE32+) that imports
# only DLLs that every Windows ships, so that it runs wherever it is copied.
# Run with cmake -P.
cmake_policy(SET CMP0057 NEW) # if(IN_LIST)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the imports of ${PROGRAM}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}[\r\n]")
  string(REGEX MATCH "file format [^\r\n]+" found "${dump}")
  message(FATAL_ERROR "${PROGRAM} is not a ${FORMAT} image: ${found}")
endif()
message(STATUS "${FORMAT} image")
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
set(system_dlls "KERNEL32.dll;msvcrt.dll;ADVAPI32.dll")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  string(STRIP "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${PROGRAM} needs ${dll}, which is not on the list of system DLLs it may use")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
