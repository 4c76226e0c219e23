# The slot's Wine tests: the real DLL against an emulated dump driver.
#
# The driver (sim/winepc/driver/dump_fixture.c, built by sim/winepc/winepc.cmake)
# is never shipped: a WDM driver with \Device\ZQDUMP and a register model of one slot
# bridge. The CTest fixture qn38_dump_driver registers it as the kernel-driver
# service qn38dumpfixture and leaves it stopped, since other Wine tests expect
# no dump device; a test that needs it adds FIXTURES_REQUIRED qn38_dump_driver
# and runs it for its own duration (ScopedDumpFixture in driver/dump_fixture.h,
# or driver/dump-fixture start and stop), driving the slot through
# driver/dump_fixture.h or qn38-wine-pc.exe.
add_test(NAME wine_dump_driver_install
         COMMAND ${QN38_DUMP_FIXTURE_DIR}/dump-fixture install ${QN38_DUMP_FIXTURE_SYS})
add_test(NAME wine_dump_driver_remove COMMAND ${QN38_DUMP_FIXTURE_DIR}/dump-fixture remove)
set_tests_properties(wine_dump_driver_install PROPERTIES FIXTURES_SETUP qn38_dump_driver LABELS wine
                                                         RESOURCE_LOCK wine)
set_tests_properties(wine_dump_driver_remove PROPERTIES FIXTURES_CLEANUP qn38_dump_driver LABELS wine
                                                        RESOURCE_LOCK wine)

qn38_wine_test(wine_slot_test slot_test.cpp)
target_link_libraries(wine_slot_test PRIVATE QN38HotPlug advapi32)
add_dependencies(wine_slot_test qn38_dump_fixture_driver)
set_tests_properties(wine_slot_test PROPERTIES FIXTURES_REQUIRED qn38_dump_driver)
