# Windows build: adapters over Win32, Core Audio and Toolhelp.
file(GLOB RL_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
add_library(rl_platform STATIC ${RL_PLATFORM_SOURCES})
target_link_libraries(rl_platform PUBLIC rl_core ole32 uuid shell32 user32 advapi32)
rl_strict(rl_platform)

file(GLOB RL_WIN32_TEST_SOURCES CONFIGURE_DEPENDS tests/win32/*.cpp)
add_executable(rl_win32_tests ${RL_WIN32_TEST_SOURCES})
target_link_libraries(rl_win32_tests PRIVATE rl_platform rl_fakes ${RL_GTEST} ${RL_GTEST_MAIN})
rl_strict(rl_win32_tests)
gtest_discover_tests(rl_win32_tests TEST_PREFIX "win32." DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120 PROPERTIES LABELS win32)
