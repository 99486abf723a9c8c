# Checks of the cross-built Windows programs, run on the build machine.
#   -DCHECK=run "-DRUN=tests/wine-session/emulator;PREFIX" -DPROGRAM=weigh.exe
#       weigh under Wine, where no board is paired and no message box can be
#       shown: both messages on standard error, in order, then status 1.
#   -DCHECK=imports -DOBJDUMP=objdump -DPROGRAMS=a.exe,b.exe
#       every DLL the programs import is one that Windows itself ships.
cmake_policy(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/expect.cmake)

if(CHECK STREQUAL "run")
  # Files, not pipes: a helper process that Wine starts for the message box
  # inherits the program's output handles and would hold a pipe open.
  execute_process(COMMAND ${RUN} ${PROGRAM}
                  INPUT_FILE /dev/null OUTPUT_FILE weigh.stdout ERROR_FILE weigh.stderr RESULT_VARIABLE status
                  TIMEOUT 60)
  file(READ weigh.stdout out)
  file(READ weigh.stderr err)
  expect("status" "${status}" "^1$")
  expect("standard error" "${err}" "^Wii-Remote not found.\r?\nWii-Remote cannot open.\r?\n$")
  expect("standard output" "${out}" "^$")
elseif(CHECK STREQUAL "imports")
  # The system's own DLLs that a static MinGW build may import; the
  # toolchain's runtimes (libstdc++, libgcc, libwinpthread) must not appear.
  set(system_dlls advapi32 bcrypt cfgmgr32 gdi32 hid kernel32 msvcrt ntdll setupapi shell32 user32 winmm ws2_32)
  string(REPLACE "," ";" PROGRAMS "${PROGRAMS}")
  foreach(program IN LISTS PROGRAMS)
    execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
    expect("objdump ${program}" "${status}" "^0$")
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
    expect("imports of ${program}" "${names}" "KERNEL32")
    foreach(entry IN LISTS names)
      string(REGEX REPLACE "^DLL Name: (.+)\\.[dD][lL][lL]$" "\\1" dll "${entry}")
      string(TOLOWER "${dll}" dll)
      if(NOT dll IN_LIST system_dlls)
        message(FATAL_ERROR "${program} needs ${entry}, which is not a system DLL")
      endif()
    endforeach()
    message(STATUS "${program}: ${names}")
  endforeach()
else()
  message(FATAL_ERROR "CHECK must be run or imports")
endif()
