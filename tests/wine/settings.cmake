# The settings dialog on its real template and controls, and the About box's
# version; and the program that shows both dialogs for the screenshots.
add_executable(wine_settings_test settings/settings_test.cpp)
target_link_libraries(wine_settings_test PRIVATE gtest gtest_main qn38_tool_win32 qn38_tool_resources comctl32 version
                                                 advapi32)
# Dialogs need a display: each run gets an Xvfb of its own.
add_test(NAME wine_settings_test
         COMMAND xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" ${CMAKE_CROSSCOMPILING_EMULATOR}
                 $<TARGET_FILE:wine_settings_test> --gtest_brief=1)
set_tests_properties(wine_settings_test PROPERTIES LABELS wine RESOURCE_LOCK wine)

# Not a test: scripts/screenshots runs it under Xvfb.
add_executable(qn38_dialog_gallery settings/dialog_gallery.cpp)
target_link_libraries(qn38_dialog_gallery PRIVATE qn38_tool_win32 qn38_tool_resources comctl32 version advapi32)
target_link_options(qn38_dialog_gallery PRIVATE -municode -mwindows)
