cmake_minimum_required(VERSION 3.18)
# Fails unless PROGRAM imports only libraries that every Windows installation has, so that the
# install directory needs nothing but the program. Run as: cmake -DOBJDUMP=... -DPROGRAM=... -P
set(SYSTEM_LIBRARIES
  advapi32.dll bcrypt.dll comctl32.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll
  normaliz.dll ole32.dll oleaut32.dll secur32.dll shell32.dll user32.dll version.dll
  winmm.dll ws2_32.dll wldap32.dll)
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the imports of ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" entries "${dump}")
if(NOT entries)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
foreach(entry IN LISTS entries)
  string(REPLACE "DLL Name: " "" library "${entry}")
  string(TOLOWER "${library}" library)
  if(NOT library IN_LIST SYSTEM_LIBRARIES)
    message(FATAL_ERROR "${PROGRAM} imports ${library}, which Windows does not ship")
  endif()
  message(STATUS "imports ${library}")
endforeach()
