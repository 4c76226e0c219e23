# The filter registration's neighbours under Wine: the memory window in the
# registry, the log file written by the real DLL, the formatter against
# wsprintfW, and the log reader on a file the DLL wrote.

# The log lies beside the calling executable: this program gets a directory
# of its own (with the DLL beside it), so no other program's log mixes in.
qn38_wine_test(wine_log_test log/log_test.cpp)
target_link_libraries(wine_log_test PRIVATE QN38HotPlug advapi32 setupapi)
set_target_properties(wine_log_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/logtest)
add_custom_command(TARGET wine_log_test POST_BUILD
                   COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:QN38HotPlug> $<TARGET_FILE_DIR:wine_log_test>)
set_tests_properties(wine_log_test PROPERTIES FIXTURES_SETUP qn38_dll_log)

qn38_wine_test(wine_wsformat_test log/wsformat_test.cpp)
target_link_libraries(wine_wsformat_test PRIVATE qn38_win32 user32)

# The Windows log reader on the report the DLL wrote above, and on a file
# that is no log: exit status and output both count.
function(qn38_log_reader_test name log exit expect)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DREADER=$<TARGET_FILE:qn38logread>
                   -DLOG=${log} -DEXIT=${exit} "-DEXPECT=${expect}" -P ${CMAKE_CURRENT_SOURCE_DIR}/log/run_reader.cmake)
  set_tests_properties(${name} PROPERTIES LABELS wine RESOURCE_LOCK wine)
endfunction()

qn38_log_reader_test(wine_log_reader ${CMAKE_BINARY_DIR}/bin/logtest/QN38-reader.LOG 0
  "next slot 3, 2 entries, oldest first\n\\[slot 1\\]\n\nReaderCheck\n[0-9][0-9][0-9][0-9]/[0-9][0-9]/[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\n\\[slot 2\\]\nRegistry\nDefLen:0x00200000\nStartAdrs:0x00000000\nEndAdrs:0xefffffff\n")
set_tests_properties(wine_log_reader PROPERTIES FIXTURES_REQUIRED qn38_dll_log)
qn38_log_reader_test(wine_log_reader_refuses ${CMAKE_CURRENT_SOURCE_DIR}/log.cmake 1
  "does not begin with the marker")

# The reader ships to support staff on its own: Windows' DLLs only.
add_test(NAME qn38logread_imports
         COMMAND ${CMAKE_SOURCE_DIR}/tests/check-pe.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:qn38logread>)
set_tests_properties(qn38logread_imports PROPERTIES LABELS static)
