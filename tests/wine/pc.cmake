# The emulated PC's setupapi.dll and cfgmgr32.dll (sim/winepc) held to their
# contracts, and the real library over them. The program sits beside the
# fixtures with a copy of the library, as the product does once qn38-wine-pc
# has installed them.
add_executable(wine_pc_test ${CMAKE_CURRENT_SOURCE_DIR}/pc_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/service_harness.cpp)
target_link_libraries(wine_pc_test PRIVATE gtest QN38HotPlug qn38_tool_win32 cfgmgr32 setupapi advapi32)
set_target_properties(wine_pc_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QN38_WINE_PC_BIN})
add_custom_command(TARGET wine_pc_test POST_BUILD COMMAND ${CMAKE_COMMAND} -E copy_if_different
                   $<TARGET_FILE:QN38HotPlug> ${QN38_WINE_PC_BIN}/)
add_dependencies(wine_pc_test qn38_fixture_setupapi qn38_fixture_cfgmgr32 qn38_dump_fixture_driver)
add_test(NAME wine_pc_test COMMAND wine_pc_test --gtest_brief=1)
set_tests_properties(wine_pc_test PROPERTIES LABELS wine RESOURCE_LOCK wine FIXTURES_REQUIRED qn38_dump_driver)
