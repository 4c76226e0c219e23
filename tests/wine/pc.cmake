# The emulated PC under Wine (test fixtures, never shipped): setupapi.dll and
# cfgmgr32.dll that describe a Plug and Play tree around the emulated dump
# driver's slot, and qn38-wine-pc, which installs and drives that machine.
# The DLLs land in bin/wine-pc/, away from every other program of the build,
# and are loaded only where the prefix's DLL overrides ask for them.
set(QN38_WINE_PC_DIR ${CMAKE_CURRENT_SOURCE_DIR}/pc)
set(QN38_WINE_PC_BIN ${CMAKE_BINARY_DIR}/bin/wine-pc)

foreach(dll setupapi cfgmgr32)
  add_library(qn38_fixture_${dll} SHARED ${QN38_WINE_PC_DIR}/${dll}_fixture.cpp ${QN38_WINE_PC_DIR}/${dll}_fixture.def)
  target_include_directories(qn38_fixture_${dll} PRIVATE ${QN38_WINE_PC_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/driver)
  set_target_properties(qn38_fixture_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                                                       ${QN38_WINE_PC_BIN})
endforeach()

add_executable(qn38-wine-pc ${QN38_WINE_PC_DIR}/qn38_wine_pc.cpp)
target_include_directories(qn38-wine-pc PRIVATE ${QN38_WINE_PC_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/driver)
target_link_libraries(qn38-wine-pc PRIVATE advapi32)
target_link_options(qn38-wine-pc PRIVATE -municode)
add_dependencies(qn38-wine-pc qn38_dump_fixture_driver qn38_fixture_setupapi qn38_fixture_cfgmgr32)

# The fixtures' contracts, and the real library over them. The program sits
# beside the fixtures with a copy of the library, as the product does once
# qn38-wine-pc has installed them.
add_executable(wine_pc_test ${QN38_WINE_PC_DIR}/pc_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/service_harness.cpp)
target_include_directories(wine_pc_test PRIVATE ${QN38_WINE_PC_DIR} ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/driver)
target_link_libraries(wine_pc_test PRIVATE gtest QN38HotPlug qn38_tool_win32 cfgmgr32 setupapi advapi32)
set_target_properties(wine_pc_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QN38_WINE_PC_BIN})
add_custom_command(TARGET wine_pc_test POST_BUILD COMMAND ${CMAKE_COMMAND} -E copy_if_different
                   $<TARGET_FILE:QN38HotPlug> ${QN38_WINE_PC_BIN}/)
add_dependencies(wine_pc_test qn38_fixture_setupapi qn38_fixture_cfgmgr32 qn38_dump_fixture_driver)
add_test(NAME wine_pc_test COMMAND wine_pc_test --gtest_brief=1)
set_tests_properties(wine_pc_test PROPERTIES LABELS wine RESOURCE_LOCK wine FIXTURES_REQUIRED qn38_dump_driver)

# The floor that idle-cost measures the idle product against.
add_executable(qn38-idle-floor ${QN38_WINE_PC_DIR}/idle_floor.cpp)
target_link_libraries(qn38-idle-floor PRIVATE QN38HotPlug)
target_link_options(qn38-idle-floor PRIVATE -municode)
