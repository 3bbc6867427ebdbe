# Windows build: adapters over Win32, Core Audio and Toolhelp.
file(GLOB RL_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
list(FILTER RL_PLATFORM_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
add_library(rl_platform STATIC ${RL_PLATFORM_SOURCES})
target_link_libraries(rl_platform PUBLIC rl_core ole32 uuid shell32 user32 gdi32 comctl32 uxtheme advapi32 mpr
  version wininet)
# SHA-256 and signature verification (CngCrypto.cpp).
target_link_libraries(rl_platform PUBLIC bcrypt)
rl_strict(rl_platform)

# The program: the window, its icons, version information and manifest.
enable_language(RC)
add_executable(RestLevel WIN32 platform/win32/main.cpp resources/RestLevel.rc)
set_target_properties(RestLevel PROPERTIES OUTPUT_NAME RestLevel)
target_link_libraries(RestLevel PRIVATE rl_platform)
target_include_directories(RestLevel PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_compile_definitions(RestLevel PRIVATE
  RL_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} RL_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  RL_VERSION_PATCH=${PROJECT_VERSION_PATCH} RL_VERSION_TWEAK=0)
set_source_files_properties(resources/RestLevel.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/RestLevel.manifest;${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/restlevel.ico;${CMAKE_SOURCE_DIR}/resources/TrayIcons.rc;${CMAKE_SOURCE_DIR}/resources/tray-watching.ico;${CMAKE_SOURCE_DIR}/resources/tray-resting.ico;${CMAKE_SOURCE_DIR}/resources/tray-disabled.ico")
rl_strict(RestLevel)

# The update windows shown as the program shows them, with its icon and
# manifest: for tests/support/screenshots-update-windows.sh and by hand.
add_executable(rl_update_windows_helper tests/win32/helpers/UpdateWindowsHelper.cpp
  tests/win32/helpers/UpdateWindowsHelper.rc)
target_link_libraries(rl_update_windows_helper PRIVATE rl_platform)
target_include_directories(rl_update_windows_helper PRIVATE ${CMAKE_SOURCE_DIR}/resources)
set_source_files_properties(tests/win32/helpers/UpdateWindowsHelper.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/RestLevel.manifest;${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/restlevel.ico")
rl_strict(rl_update_windows_helper)

file(GLOB RL_WIN32_TEST_SOURCES CONFIGURE_DEPENDS tests/win32/*.cpp)
add_executable(rl_win32_tests ${RL_WIN32_TEST_SOURCES})
target_link_libraries(rl_win32_tests PRIVATE rl_platform rl_fakes ${RL_GTEST} ${RL_GTEST_MAIN})
# The window's tests load the tray images as the program does.
target_sources(rl_win32_tests PRIVATE resources/TrayIcons.rc)
target_include_directories(rl_win32_tests PRIVATE ${CMAKE_SOURCE_DIR}/resources)
set_source_files_properties(resources/TrayIcons.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/tray-watching.ico;${CMAKE_SOURCE_DIR}/resources/tray-resting.ico;${CMAKE_SOURCE_DIR}/resources/tray-disabled.ico")
rl_strict(rl_win32_tests)
# A program for the file utilities' tests to start, wait for, close and
# read the version resource of; and zlib streams made by Python's zlib.
add_executable(rl_filelib_helper tests/win32/helpers/FileLibHelper.cpp tests/win32/helpers/FileLibHelper.rc)
rl_strict(rl_filelib_helper)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(RL_ZLIB_STREAMS ${CMAKE_BINARY_DIR}/generated/tests/win32/ZlibStreams.h)
add_custom_command(OUTPUT ${RL_ZLIB_STREAMS}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/win32/helpers/make_zlib_streams.py ${RL_ZLIB_STREAMS}
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/helpers/make_zlib_streams.py
  COMMENT "Compressing the file utilities' test streams with Python's zlib")
target_sources(rl_win32_tests PRIVATE ${RL_ZLIB_STREAMS})
target_include_directories(rl_win32_tests PRIVATE ${CMAKE_BINARY_DIR}/generated)
add_dependencies(rl_win32_tests rl_filelib_helper RestLevel)
# The internet tests run the loopback server (a Unix program) from the source
# tree and trust a test CA made here with openssl.
set(RL_TEST_CERTS ${CMAKE_BINARY_DIR}/generated/tests/certs)
add_custom_command(OUTPUT ${RL_TEST_CERTS}/ca.der ${RL_TEST_CERTS}/server.pem ${RL_TEST_CERTS}/untrusted.pem
  COMMAND ${CMAKE_SOURCE_DIR}/tests/support/make_test_ca.sh ${RL_TEST_CERTS}
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/make_test_ca.sh
  COMMENT "Making the HTTPS tests' CA and certificates")
add_custom_target(rl_win32_test_certs DEPENDS ${RL_TEST_CERTS}/ca.der)
add_dependencies(rl_win32_tests rl_win32_test_certs)
set_property(SOURCE tests/win32/UpdateTestSupport.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  RL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" RL_TEST_CERT_DIR="${RL_TEST_CERTS}")
target_link_libraries(rl_win32_tests PRIVATE ws2_32 crypt32)

# The update road's tests run the real program and a program whose update
# component has a listing (with the program's icon and manifest).
add_executable(rl_update_road_helper WIN32 tests/win32/helpers/UpdateRoadHelper.cpp
  tests/win32/helpers/UpdateWindowsHelper.rc)
set_target_properties(rl_update_road_helper PROPERTIES OUTPUT_NAME RoadHelper)
target_link_libraries(rl_update_road_helper PRIVATE rl_platform)
target_include_directories(rl_update_road_helper PRIVATE ${CMAKE_SOURCE_DIR}/resources)
rl_strict(rl_update_road_helper)
add_dependencies(rl_win32_tests rl_update_road_helper)
# The tests that publish sign with the build's test key (Unix paths), through
# the interpreter that has python3-cryptography.
target_compile_definitions(rl_win32_tests PRIVATE RL_TEST_SIGNING_KEY="${RL_TEST_SIGNING_KEY}"
  RL_PYTHON="${Python3_EXECUTABLE}")

gtest_discover_tests(rl_win32_tests TEST_PREFIX "win32." DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120 PROPERTIES LABELS win32)

# The time-zone test once more in a zone of its own: Wine takes the zone from
# TZ when a process starts.
set(RL_TEXT_ZONE "CET-1CEST,M3.5.0,M10.5.0/3")
add_test(NAME "win32.Win32TextTest.UtcToLocalDateTimeFollowsTheTimeZone.TZ=CET"
  COMMAND rl_win32_tests --gtest_filter=Win32TextTest.UtcToLocalDateTimeFollowsTheTimeZone)
set_tests_properties("win32.Win32TextTest.UtcToLocalDateTimeFollowsTheTimeZone.TZ=CET" PROPERTIES
  LABELS win32 ENVIRONMENT "TZ=${RL_TEXT_ZONE};RL_TEXT_ZONE=${RL_TEXT_ZONE}")

# Setting a file's time from a local date-time, in a zone away from UTC.
add_test(NAME "win32.Win32FileLibDecompressTest.SetsTheLastWriteTimeFromALocalDateTime.TZ=CET"
  COMMAND rl_win32_tests --gtest_filter=Win32FileLibDecompressTest.SetsTheLastWriteTimeFromALocalDateTime)
set_tests_properties("win32.Win32FileLibDecompressTest.SetsTheLastWriteTimeFromALocalDateTime.TZ=CET" PROPERTIES
  LABELS win32 ENVIRONMENT "TZ=${RL_TEXT_ZONE};RL_TEXT_ZONE=${RL_TEXT_ZONE}")

# An update package's time in summer and in winter, in a zone with summer time.
add_test(NAME "win32.Win32UpdateFilesTest.APackageTakesTheServersInstantInSummerAndInWinter.TZ=CET"
  COMMAND rl_win32_tests --gtest_filter=Win32UpdateFilesTest.APackageTakesTheServersInstantInSummerAndInWinter)
set_tests_properties("win32.Win32UpdateFilesTest.APackageTakesTheServersInstantInSummerAndInWinter.TZ=CET"
  PROPERTIES LABELS win32 ENVIRONMENT "TZ=${RL_TEXT_ZONE};RL_TEXT_ZONE=${RL_TEXT_ZONE}")

# The update road with packages dated in winter and in summer, in that zone.
add_test(NAME "win32.Road/UpdateRoadInstallTest.InstallsVersion2AndStartsIt.TZ=CET"
  COMMAND rl_win32_tests "--gtest_filter=Road/UpdateRoadInstallTest.InstallsVersion2AndStartsIt/*Package")
set_tests_properties("win32.Road/UpdateRoadInstallTest.InstallsVersion2AndStartsIt.TZ=CET" PROPERTIES
  LABELS win32 ENVIRONMENT "TZ=${RL_TEXT_ZONE}")

# What a user receives must start on a bare Windows: every DLL it imports is
# one that Windows itself has.
if(NOT CMAKE_OBJDUMP)
  find_program(CMAKE_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
endif()
add_test(NAME win32.ShippedProgramsImportOnlySystemDlls
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/support/check-imports.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:RestLevel>)
set_tests_properties(win32.ShippedProgramsImportOnlySystemDlls PROPERTIES LABELS win32)
