# The installed product's whole job on the emulated PC (sim/winepc): the
# x64 package, qn38-wine-pc, and the installed tool and service, on a display
# and in a prefix of their own (tool/run_tool_test.sh). The balloons of the
# run and its stop menu land in the build tree's screenshots;
# docs/screenshots/tray-balloon.png, tray-balloon-stopped.png and
# tray-menu-stop.png are copies.
add_executable(wine_whole_job_test whole_job/whole_job_test.cpp service_harness.cpp)
target_link_libraries(wine_whole_job_test PRIVATE gtest gtest_main qn38_tool_win32 advapi32 user32)
target_compile_definitions(wine_whole_job_test PRIVATE QN38_PACKAGE_DIR=L"${QN38_PACKAGE_DIR_WINDOWS}"
                                                 QN38_VERSION=L"${QN38_PACKAGE_VERSION}")
add_dependencies(wine_whole_job_test qn38-wine-pc)
add_test(NAME wine_whole_job_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tool/run_tool_test.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                 $<TARGET_FILE:wine_whole_job_test> ${CMAKE_BINARY_DIR}/screenshots/whole-job.png ${QN38_DUMP_FIXTURE_SYS})
set_tests_properties(wine_whole_job_test PROPERTIES LABELS wine RESOURCE_LOCK wine TIMEOUT 600 FIXTURES_REQUIRED
                                              qn38_packages)
