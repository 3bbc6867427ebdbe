# The restlevel program with its resources, its installation, the in-process
# tests of its Qt window, and the minimal tray program that its memory is
# measured against. Included by Linux.cmake.
find_package(Qt6 REQUIRED COMPONENTS Test)

add_executable(restlevel platform/linux/main.cpp resources/restlevel.qrc)
set_target_properties(restlevel PROPERTIES AUTORCC ON)
target_link_libraries(restlevel PRIVATE rl_platform)
rl_strict(restlevel)

# The integration tests start the real program.
target_compile_definitions(rl_linux_tests PRIVATE RL_RESTLEVEL="$<TARGET_FILE:restlevel>")
add_dependencies(rl_linux_tests restlevel)

# The windows' controls (settings, update) driven in-process; a QApplication of their own (the
# other Linux tests share a QCoreApplication), on Qt's offscreen platform.
add_executable(rl_qt_window_tests tests/linux/widgets/QtWindowTest.cpp
  tests/linux/widgets/QtUpdateWindowsTest.cpp resources/restlevel.qrc)
set_target_properties(rl_qt_window_tests PROPERTIES AUTORCC ON)
target_link_libraries(rl_qt_window_tests PRIVATE rl_platform rl_fakes Qt6::Test ${RL_GTEST})
rl_strict(rl_qt_window_tests)
gtest_discover_tests(rl_qt_window_tests TEST_PREFIX "linux." DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS linux)

# Shows the update windows alone, for screenshots and for trying them by hand.
add_executable(rl_update_windows_helper tests/linux/helpers/UpdateWindowsHelper.cpp)
target_link_libraries(rl_update_windows_helper PRIVATE rl_platform)
rl_strict(rl_update_windows_helper)

include(GNUInstallDirs)
install(TARGETS restlevel restlevel-reg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(resources/restlevel.desktop.in ${CMAKE_BINARY_DIR}/generated/restlevel.desktop @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/generated/restlevel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 64)
  install(FILES resources/restlevel-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME restlevel.png)
endforeach()

# bench/idle_watchers.sh compares restlevel's memory with this program's.
if(NOT RL_SANITIZE)
  add_executable(rl_minimal_tray bench/MinimalTray.cpp resources/restlevel.qrc)
  set_target_properties(rl_minimal_tray PROPERTIES AUTORCC ON)
  target_link_libraries(rl_minimal_tray PRIVATE Qt6::Widgets)
  rl_strict(rl_minimal_tray)
endif()
