# The service under Wine's service control manager, asked by a 64-bit client
# built from the tool's own client code; and the round trip measured against
# a raw named-pipe echo.
add_executable(wine_service_client service_client_main.cpp)
target_link_libraries(wine_service_client PRIVATE qn38_tool_win32)

qn38_wine_test(wine_service_test service_test.cpp service_harness.cpp)
target_link_libraries(wine_service_test PRIVATE qn38_tool_win32 qn38_service_core advapi32)
add_dependencies(wine_service_test QN38HotPlugService QN38HotPlug wine_service_client)

qn38_wine_test(wine_service_bench service_bench.cpp service_harness.cpp)
target_link_libraries(wine_service_bench PRIVATE qn38_tool_win32 advapi32)
add_dependencies(wine_service_bench QN38HotPlugService QN38HotPlug)
