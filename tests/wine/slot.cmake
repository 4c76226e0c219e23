# The slot's Wine tests: the real DLL against an emulated dump driver.
#
# The driver (tests/wine/driver/dump_fixture.c) is a test fixture, never
# shipped: a WDM driver with \Device\ZQDUMP and a register model of one slot
# bridge. The CTest fixture qn38_dump_driver registers it as the kernel-driver
# service qn38dumpfixture and leaves it stopped, since other Wine tests expect
# no dump device; a test that needs it adds FIXTURES_REQUIRED qn38_dump_driver
# and runs it for its own duration (ScopedDumpFixture in driver/dump_fixture.h,
# or driver/dump-fixture start and stop), driving the slot through
# driver/dump_fixture.h or dump_fixture_ctl.exe.
set(QN38_DUMP_FIXTURE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/driver)
set(QN38_DUMP_FIXTURE_SYS ${CMAKE_BINARY_DIR}/bin/dump_fixture.sys)
set(QN38_DUMP_FIXTURE_FLAGS -O2 -Wall -Wextra -nostdlib -Wl,--subsystem,native -Wl,-e,DriverEntry)
if(DEFINED ENV{CI})
  list(APPEND QN38_DUMP_FIXTURE_FLAGS -Werror)
endif()
# Built by the C compiler of the toolchain file; the project itself needs no C.
add_custom_command(
  OUTPUT ${QN38_DUMP_FIXTURE_SYS}
  COMMAND ${CMAKE_C_COMPILER} ${QN38_DUMP_FIXTURE_FLAGS} -o ${QN38_DUMP_FIXTURE_SYS}
          ${QN38_DUMP_FIXTURE_DIR}/dump_fixture.c -lntoskrnl -lhal
  DEPENDS ${QN38_DUMP_FIXTURE_DIR}/dump_fixture.c ${QN38_DUMP_FIXTURE_DIR}/dump_fixture_protocol.h
  COMMENT "Building the emulated dump driver (test fixture)"
  VERBATIM)
add_custom_target(qn38_dump_fixture_driver ALL DEPENDS ${QN38_DUMP_FIXTURE_SYS})

add_executable(dump_fixture_ctl ${QN38_DUMP_FIXTURE_DIR}/dump_fixture_ctl.cpp)
target_include_directories(dump_fixture_ctl PRIVATE ${QN38_DUMP_FIXTURE_DIR})
target_link_options(dump_fixture_ctl PRIVATE -municode)
add_dependencies(dump_fixture_ctl qn38_dump_fixture_driver)

add_test(NAME wine_dump_driver_install
         COMMAND ${QN38_DUMP_FIXTURE_DIR}/dump-fixture install ${QN38_DUMP_FIXTURE_SYS})
add_test(NAME wine_dump_driver_remove COMMAND ${QN38_DUMP_FIXTURE_DIR}/dump-fixture remove)
set_tests_properties(wine_dump_driver_install PROPERTIES FIXTURES_SETUP qn38_dump_driver LABELS wine
                                                         RESOURCE_LOCK wine)
set_tests_properties(wine_dump_driver_remove PROPERTIES FIXTURES_CLEANUP qn38_dump_driver LABELS wine
                                                        RESOURCE_LOCK wine)

qn38_wine_test(wine_slot_test slot_test.cpp)
target_link_libraries(wine_slot_test PRIVATE QN38HotPlug advapi32)
target_include_directories(wine_slot_test PRIVATE ${QN38_DUMP_FIXTURE_DIR})
add_dependencies(wine_slot_test qn38_dump_fixture_driver)
set_tests_properties(wine_slot_test PROPERTIES FIXTURES_REQUIRED qn38_dump_driver)
