# The x64 installer package under Wine's own Windows Installer: install,
# repair, upgrade and uninstall. The fixture builds the package of this
# version and one of a higher version into the build tree.
set(QN38_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/package --print-version OUTPUT_VARIABLE QN38_PACKAGE_VERSION
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "^([0-9]+\\.[0-9]+)\\.([0-9]+)\\..*" "\\1" QN38_UPGRADE_MAJOR_MINOR ${QN38_PACKAGE_VERSION})
string(REGEX REPLACE "^[0-9]+\\.[0-9]+\\.([0-9]+)\\..*" "\\1" QN38_UPGRADE_BUILD ${QN38_PACKAGE_VERSION})
math(EXPR QN38_UPGRADE_BUILD "${QN38_UPGRADE_BUILD} + 1")
# Windows Installer compares the first three fields only.
set(QN38_UPGRADE_VERSION ${QN38_UPGRADE_MAJOR_MINOR}.${QN38_UPGRADE_BUILD}.0)
add_test(NAME wine_package_build COMMAND ${PROJECT_SOURCE_DIR}/scripts/package --output ${QN38_PACKAGE_DIR})
add_test(NAME wine_package_build_upgrade
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/package --version ${QN38_UPGRADE_VERSION} --output ${QN38_PACKAGE_DIR}/upgrade)
set_tests_properties(wine_package_build wine_package_build_upgrade PROPERTIES FIXTURES_SETUP qn38_packages LABELS wine)

qn38_wine_test(wine_package_test package_test.cpp service_harness.cpp)
target_link_libraries(wine_package_test PRIVATE qn38_tool_win32 advapi32 rstrtmgr)
string(REPLACE "/" "\\\\" QN38_PACKAGE_DIR_WINDOWS "Z:${QN38_PACKAGE_DIR}")
target_compile_definitions(wine_package_test PRIVATE QN38_PACKAGE_DIR=L"${QN38_PACKAGE_DIR_WINDOWS}"
                                                     QN38_VERSION=L"${QN38_PACKAGE_VERSION}"
                                                     QN38_UPGRADE_VERSION=L"${QN38_UPGRADE_VERSION}")
set_tests_properties(wine_package_test PROPERTIES FIXTURES_REQUIRED qn38_packages TIMEOUT 600)
