# The emulated PC under Wine, the Windows counterpart of the simulated PC:
# never shipped, built by the mingw-x64 tree for the Wine tests and for
# people who want to watch the installed product work without the hardware.
#   driver/   the emulated dump driver (dump_fixture.sys): \Device\ZQDUMP with a
#             register model of one slot bridge, and the Plug and Play state
#             of the machine behind \Device\QN38PNP
#   *_fixture setupapi.dll and cfgmgr32.dll describing the machine's tree; they
#             land in bin/wine-pc/, away from every other program of the
#             build, and load only where the prefix's DLL overrides ask
#   qn38-wine-pc, which installs and drives the machine, and qn38-idle-floor,
#   the floor that idle-cost measures the idle product against.
# Included by tests/wine before its fragments, which use what it defines.
set(QN38_WINE_PC_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QN38_WINE_PC_BIN ${CMAKE_BINARY_DIR}/bin/wine-pc)
set(QN38_DUMP_FIXTURE_DIR ${QN38_WINE_PC_DIR}/driver)
set(QN38_DUMP_FIXTURE_SYS ${CMAKE_BINARY_DIR}/bin/dump_fixture.sys)

set(QN38_DUMP_FIXTURE_FLAGS -I${CMAKE_SOURCE_DIR} -O2 -Wall -Wextra -nostdlib -Wl,--subsystem,native -Wl,-e,DriverEntry)
if(DEFINED ENV{CI})
  list(APPEND QN38_DUMP_FIXTURE_FLAGS -Werror)
endif()
# Built by the C compiler of the toolchain file; the project itself needs no C.
add_custom_command(
  OUTPUT ${QN38_DUMP_FIXTURE_SYS}
  COMMAND ${CMAKE_C_COMPILER} ${QN38_DUMP_FIXTURE_FLAGS} -o ${QN38_DUMP_FIXTURE_SYS}
          ${QN38_DUMP_FIXTURE_DIR}/dump_fixture.c -lntoskrnl -lhal
  DEPENDS ${QN38_DUMP_FIXTURE_DIR}/dump_fixture.c ${QN38_DUMP_FIXTURE_DIR}/dump_fixture_protocol.h
  COMMENT "Building the emulated dump driver"
  VERBATIM)
add_custom_target(qn38_dump_fixture_driver ALL DEPENDS ${QN38_DUMP_FIXTURE_SYS})

foreach(dll setupapi cfgmgr32)
  add_library(qn38_fixture_${dll} SHARED ${QN38_WINE_PC_DIR}/${dll}_fixture.cpp ${QN38_WINE_PC_DIR}/${dll}_fixture.def)
  set_target_properties(qn38_fixture_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                                                       ${QN38_WINE_PC_BIN})
endforeach()

add_executable(qn38-wine-pc ${QN38_WINE_PC_DIR}/qn38_wine_pc.cpp)
target_link_libraries(qn38-wine-pc PRIVATE advapi32)
target_link_options(qn38-wine-pc PRIVATE -municode)
add_dependencies(qn38-wine-pc qn38_dump_fixture_driver qn38_fixture_setupapi qn38_fixture_cfgmgr32)

add_executable(qn38-idle-floor ${QN38_WINE_PC_DIR}/idle_floor.cpp)
target_link_libraries(qn38-idle-floor PRIVATE QN38HotPlug)
target_link_options(qn38-idle-floor PRIVATE -municode)
