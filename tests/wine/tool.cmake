# The tray tool under Wine: the real QN38HotPlugTool.exe with the real
# service and the emulated dump driver, on an Xvfb display and in a prefix of
# its own (run_tool_test.sh). The screenshots of the tray with its balloon
# and of its right-click menu (docs/screenshots/tray-menu.png is a copy)
# land in the build tree (without the emulated Plug and Play tree no card
# device appears, so its balloon says the card could not start; the
# whole-job test, whole_job.cmake, shows the balloons of a working card).
add_executable(wine_tool_test tool/tool_test.cpp service_harness.cpp)
target_link_libraries(wine_tool_test PRIVATE gtest gtest_main qn38_tool_win32 advapi32 user32 shell32)
add_dependencies(wine_tool_test QN38HotPlugTool QN38HotPlugService QN38HotPlug qn38_dump_fixture_driver)

add_test(NAME wine_tool_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tool/run_tool_test.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                 $<TARGET_FILE:wine_tool_test> ${CMAKE_BINARY_DIR}/screenshots/tool-without-card-device.png
                 ${QN38_DUMP_FIXTURE_SYS})
set_tests_properties(wine_tool_test PROPERTIES LABELS wine RESOURCE_LOCK wine TIMEOUT 300)
