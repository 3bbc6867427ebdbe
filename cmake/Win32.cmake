# Windows build: adapters over Win32, Core Audio and Toolhelp.
file(GLOB RL_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
add_library(rl_platform STATIC ${RL_PLATFORM_SOURCES})
target_link_libraries(rl_platform PUBLIC rl_core ole32 uuid shell32 user32 advapi32 mpr)
rl_strict(rl_platform)

file(GLOB RL_WIN32_TEST_SOURCES CONFIGURE_DEPENDS tests/win32/*.cpp)
add_executable(rl_win32_tests ${RL_WIN32_TEST_SOURCES})
target_link_libraries(rl_win32_tests PRIVATE rl_platform rl_fakes ${RL_GTEST} ${RL_GTEST_MAIN})
rl_strict(rl_win32_tests)
gtest_discover_tests(rl_win32_tests TEST_PREFIX "win32." DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120 PROPERTIES LABELS win32)

# The time-zone test once more in a zone of its own: Wine takes the zone from
# TZ when a process starts.
set(RL_TEXT_ZONE "CET-1CEST,M3.5.0,M10.5.0/3")
add_test(NAME "win32.Win32TextTest.UtcToLocalDateTimeFollowsTheTimeZone.TZ=CET"
  COMMAND rl_win32_tests --gtest_filter=Win32TextTest.UtcToLocalDateTimeFollowsTheTimeZone)
set_tests_properties("win32.Win32TextTest.UtcToLocalDateTimeFollowsTheTimeZone.TZ=CET" PROPERTIES
  LABELS win32 ENVIRONMENT "TZ=${RL_TEXT_ZONE};RL_TEXT_ZONE=${RL_TEXT_ZONE}")
