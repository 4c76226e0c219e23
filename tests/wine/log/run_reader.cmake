# Runs the Windows log reader under Wine and checks its exit status and what
# it printed:
#   cmake -DEMULATOR=... -DREADER=... -DLOG=... -DEXIT=n -DEXPECT=regex -P run_reader.cmake
execute_process(COMMAND ${EMULATOR} ${READER} ${LOG}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "\r\n" "\n" out "${out}")
string(REPLACE "\r\n" "\n" err "${err}")
if(NOT status EQUAL EXIT)
  message(FATAL_ERROR "exit status ${status}, expected ${EXIT}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT}")
  message(FATAL_ERROR "output does not match ${EXPECT}\nstdout:\n${out}\nstderr:\n${err}")
endif()
message(STATUS "reader said:\n${out}${err}")
