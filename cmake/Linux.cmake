# Linux build: adapters over X11, PulseAudio, /proc and Qt.
find_package(PkgConfig REQUIRED)
# XRandR: the monitors a full-screen window may cover.
pkg_check_modules(RL_X11 REQUIRED IMPORTED_TARGET x11 xext xscrnsaver xres xrandr)
pkg_check_modules(RL_PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(RL_SQLITE REQUIRED IMPORTED_TARGET sqlite3)
# HTTP(S); OpenSSL directly for the extra CA file of SSL_CERT_FILE.
pkg_check_modules(RL_CURL REQUIRED IMPORTED_TARGET libcurl openssl)
# D-Bus: the desktop's idle inhibition.
find_package(Qt6 REQUIRED COMPONENTS Core Widgets DBus)
# SHA-256 and signature verification (OpenSslCrypto.cpp).
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
# Wayland: our clients of the compositors' protocols. wayland-scanner makes
# their C bindings in the build folder from the protocol descriptions.
pkg_check_modules(RL_WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(RL_WAYLAND_SCANNER wayland-scanner wayland_scanner)
pkg_get_variable(RL_WAYLAND_PROTOCOLS wayland-protocols pkgdatadir)
if(NOT RL_WAYLAND_SCANNER OR NOT RL_WAYLAND_PROTOCOLS)
  message(FATAL_ERROR "wayland-scanner or wayland-protocols is missing (Debian packages libwayland-dev, wayland-protocols)")
endif()
set(RL_WAYLAND_GENERATED ${CMAKE_BINARY_DIR}/generated/wayland)
file(MAKE_DIRECTORY ${RL_WAYLAND_GENERATED})
# Adds a protocol's client header (NAME-client.h) and code to a target.
function(rl_wayland_protocol target xml)
  get_filename_component(name ${xml} NAME_WE)
  set(header ${RL_WAYLAND_GENERATED}/${name}-client.h)
  set(code ${RL_WAYLAND_GENERATED}/${name}-protocol.c)
  if(NOT TARGET rl_wayland_${name})
    # The scanner's remarks on descriptions that are not ours (Debian's
    # plasma-window-management.xml draws "since version not increasing")
    # are kept in a log, shown when it fails.
    set(scan "\"$0\" \"$1\" \"$2\" \"$3\" 2>\"$3.log\" || (cat \"$3.log\" >&2 && exit 1)")
    add_custom_command(OUTPUT ${header} ${code}
      COMMAND sh -c ${scan} ${RL_WAYLAND_SCANNER} client-header ${xml} ${header}
      COMMAND sh -c ${scan} ${RL_WAYLAND_SCANNER} private-code ${xml} ${code}
      DEPENDS ${xml}
      COMMENT "wayland-scanner: ${name}"
      VERBATIM)
    # The generated code is not ours: no strict warnings on it.
    add_library(rl_wayland_${name} OBJECT ${code} ${header})
    target_include_directories(rl_wayland_${name} PUBLIC ${RL_WAYLAND_GENERATED})
    target_link_libraries(rl_wayland_${name} PUBLIC PkgConfig::RL_WAYLAND)
  endif()
  target_link_libraries(${target} PRIVATE rl_wayland_${name})
endfunction()

file(GLOB RL_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/linux/*.cpp)
list(FILTER RL_PLATFORM_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
add_library(rl_platform STATIC ${RL_PLATFORM_SOURCES})
target_link_libraries(rl_platform PUBLIC rl_core PkgConfig::RL_X11 PkgConfig::RL_PULSE Qt6::Core)
target_link_libraries(rl_platform PUBLIC PkgConfig::RL_SQLITE)
target_link_libraries(rl_platform PUBLIC PkgConfig::RL_CURL)
target_link_libraries(rl_platform PUBLIC Qt6::Widgets Qt6::DBus)
target_link_libraries(rl_platform PUBLIC OpenSSL::Crypto)
rl_strict(rl_platform)
rl_wayland_protocol(rl_platform ${CMAKE_SOURCE_DIR}/platform/linux/protocols/wlr-foreign-toplevel-management-unstable-v1.xml)
# The compositors' idle notifications: the standard one, and KDE's older one.
find_package(PlasmaWaylandProtocols REQUIRED)
rl_wayland_protocol(rl_platform ${RL_WAYLAND_PROTOCOLS}/staging/ext-idle-notify/ext-idle-notify-v1.xml)
rl_wayland_protocol(rl_platform ${PLASMA_WAYLAND_PROTOCOLS_DIR}/idle.xml)
# KWin's list of windows: the active one's process id.
rl_wayland_protocol(rl_platform ${PLASMA_WAYLAND_PROTOCOLS_DIR}/plasma-window-management.xml)

# A native Wayland client that the Wayland tests start to own test windows.
add_executable(rl_wayland_test_window tests/linux/helpers/WaylandTestWindow.cpp)
rl_wayland_protocol(rl_wayland_test_window ${RL_WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml)
rl_wayland_protocol(rl_wayland_test_window ${RL_WAYLAND_PROTOCOLS}/unstable/idle-inhibit/idle-inhibit-unstable-v1.xml)
rl_strict(rl_wayland_test_window)

# Pointer motion or a key through KWin's fake input, for the KWin tests.
add_executable(rl_wayland_fake_input tests/linux/helpers/WaylandFakeInput.cpp)
rl_wayland_protocol(rl_wayland_fake_input ${PLASMA_WAYLAND_PROTOCOLS_DIR}/fake-input.xml)
rl_strict(rl_wayland_fake_input)

# Prints what KWin's window list says is in front; run as the session's user.
add_executable(rl_wayland_plasma_probe tests/linux/helpers/WaylandPlasmaProbe.cpp)
target_link_libraries(rl_wayland_plasma_probe PRIVATE rl_platform)
rl_strict(rl_wayland_plasma_probe)

# An xdg-activation token, asked for as a launcher asks for one.
add_executable(rl_wayland_activation_token tests/linux/helpers/WaylandActivationToken.cpp)
rl_wayland_protocol(rl_wayland_activation_token ${RL_WAYLAND_PROTOCOLS}/staging/xdg-activation/xdg-activation-v1.xml)
rl_strict(rl_wayland_activation_token)

# A small X client that the integration tests start to own test windows.
add_executable(rl_test_window tests/linux/helpers/TestWindow.cpp)
target_link_libraries(rl_test_window PRIVATE PkgConfig::RL_X11)
rl_strict(rl_test_window)

# Prints a Wayland session's idle time; the tests run it as the compositor's user.
add_executable(rl_wayland_idle_probe tests/linux/helpers/WaylandIdleProbe.cpp)
target_link_libraries(rl_wayland_idle_probe PRIVATE rl_platform)
rl_strict(rl_wayland_idle_probe)

# A program the file-utility tests start, copy and replace.
add_executable(rl_file_helper tests/linux/helpers/FileLibHelper.cpp)
rl_strict(rl_file_helper)

# A desktop service on a session bus of the tests' own, with a fixed answer.
add_executable(rl_dbus_stand_in tests/linux/helpers/DbusStandIn.cpp)
target_link_libraries(rl_dbus_stand_in PRIVATE Qt6::Core Qt6::DBus)
rl_strict(rl_dbus_stand_in)

# A desktop's tray on a session bus of the tests' own: the StatusNotifierItem
# watcher and a host that prints what the items show.
add_executable(rl_tray_watcher_stand_in tests/linux/helpers/TrayWatcherStandIn.cpp)
target_link_libraries(rl_tray_watcher_stand_in PRIVATE Qt6::Core Qt6::DBus)
rl_strict(rl_tray_watcher_stand_in)

# Input through mutter's remote desktop, as the tests' unprivileged user.
add_executable(rl_mutter_input tests/linux/helpers/MutterInput.cpp)
target_link_libraries(rl_mutter_input PRIVATE Qt6::Core Qt6::DBus)
rl_strict(rl_mutter_input)

file(GLOB RL_LINUX_TEST_SOURCES CONFIGURE_DEPENDS tests/linux/*.cpp)
add_executable(rl_linux_tests ${RL_LINUX_TEST_SOURCES})
target_link_libraries(rl_linux_tests PRIVATE rl_platform rl_fakes ${RL_GTEST} ${RL_GTEST_MAIN})
# The compositor tests list what a compositor announces.
target_link_libraries(rl_linux_tests PRIVATE PkgConfig::RL_WAYLAND)
target_compile_definitions(rl_linux_tests PRIVATE RL_TEST_WINDOW="$<TARGET_FILE:rl_test_window>")
add_dependencies(rl_linux_tests rl_test_window)
target_compile_definitions(rl_linux_tests PRIVATE RL_WAYLAND_IDLE_PROBE="$<TARGET_FILE:rl_wayland_idle_probe>")
add_dependencies(rl_linux_tests rl_wayland_idle_probe)
target_compile_definitions(rl_linux_tests PRIVATE RL_WAYLAND_TEST_WINDOW="$<TARGET_FILE:rl_wayland_test_window>")
add_dependencies(rl_linux_tests rl_wayland_test_window)
target_compile_definitions(rl_linux_tests PRIVATE RL_WAYLAND_FAKE_INPUT="$<TARGET_FILE:rl_wayland_fake_input>")
add_dependencies(rl_linux_tests rl_wayland_fake_input)
target_compile_definitions(rl_linux_tests PRIVATE RL_WAYLAND_PLASMA_PROBE="$<TARGET_FILE:rl_wayland_plasma_probe>")
add_dependencies(rl_linux_tests rl_wayland_plasma_probe)
target_compile_definitions(rl_linux_tests PRIVATE RL_FILE_HELPER="$<TARGET_FILE:rl_file_helper>")
add_dependencies(rl_linux_tests rl_file_helper)
target_compile_definitions(rl_linux_tests PRIVATE RL_DBUS_STAND_IN="$<TARGET_FILE:rl_dbus_stand_in>")
add_dependencies(rl_linux_tests rl_dbus_stand_in)
target_compile_definitions(rl_linux_tests PRIVATE RL_TRAY_WATCHER_STAND_IN="$<TARGET_FILE:rl_tray_watcher_stand_in>"
  RL_WAYLAND_ACTIVATION_TOKEN="$<TARGET_FILE:rl_wayland_activation_token>")
add_dependencies(rl_linux_tests rl_tray_watcher_stand_in rl_wayland_activation_token)
target_compile_definitions(rl_linux_tests PRIVATE RL_MUTTER_INPUT="$<TARGET_FILE:rl_mutter_input>")
add_dependencies(rl_linux_tests rl_mutter_input)
rl_strict(rl_linux_tests)
# The internet tests run the loopback server from the source tree and trust
# a test CA made here with openssl.
set(RL_TEST_CERTS ${CMAKE_BINARY_DIR}/generated/tests/certs)
add_custom_command(OUTPUT ${RL_TEST_CERTS}/ca.pem ${RL_TEST_CERTS}/server.pem ${RL_TEST_CERTS}/untrusted.pem
  COMMAND ${CMAKE_SOURCE_DIR}/tests/support/make_test_ca.sh ${RL_TEST_CERTS}
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/make_test_ca.sh
  COMMENT "Making the HTTPS tests' CA and certificates")
add_custom_target(rl_linux_test_certs DEPENDS ${RL_TEST_CERTS}/ca.pem)
add_dependencies(rl_linux_tests rl_linux_test_certs)
set_property(SOURCE tests/linux/CurlInternetTest.cpp tests/linux/LinuxTestSupport.cpp
  tests/linux/UpdateCheckProgramTest.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  RL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" RL_TEST_CERT_DIR="${RL_TEST_CERTS}")
gtest_discover_tests(rl_linux_tests TEST_PREFIX "linux." DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS linux)

# The update road's tests: a program whose update component has a listing, and
# a library that stops a program where it would end.
add_executable(rl_update_road_helper tests/linux/helpers/UpdateRoadHelper.cpp)
target_link_libraries(rl_update_road_helper PRIVATE rl_platform)
rl_strict(rl_update_road_helper)
add_library(rl_stop_at_exit SHARED tests/linux/helpers/StopAtExit.cpp)
rl_strict(rl_stop_at_exit)
add_dependencies(rl_linux_tests rl_update_road_helper rl_stop_at_exit)
set_property(SOURCE tests/linux/UpdateRoadTest.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  RL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" RL_TEST_CERT_DIR="${RL_TEST_CERTS}"
  RL_UPDATE_ROAD_HELPER="$<TARGET_FILE:rl_update_road_helper>" RL_STOP_AT_EXIT="$<TARGET_FILE:rl_stop_at_exit>")
# The tests that publish sign with the build's test key, through the
# interpreter that has python3-cryptography.
target_compile_definitions(rl_linux_tests PRIVATE RL_TEST_SIGNING_KEY="${RL_TEST_SIGNING_KEY}"
  RL_PYTHON="${Python3_EXECUTABLE}")

# The update publishing tool, run on temporary folders.
add_test(NAME linux.publish_update COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/tools/publish_update_test.py)
set_tests_properties(linux.publish_update PROPERTIES LABELS linux)

# The reg-like tool for the registry store (without the desktop libraries); the tests run it.
add_executable(restlevel-reg platform/linux/reg/RestLevelReg.cpp platform/linux/SqliteRegistry.cpp)
target_link_libraries(restlevel-reg PRIVATE rl_core PkgConfig::RL_SQLITE)
rl_strict(restlevel-reg)
target_compile_definitions(rl_linux_tests PRIVATE RL_REG_TOOL="$<TARGET_FILE:restlevel-reg>")
add_dependencies(rl_linux_tests restlevel-reg)

# Benchmarks are built here but never run as tests.
if(NOT RL_SANITIZE)
  find_package(benchmark REQUIRED)
  file(GLOB RL_BENCH_SOURCES CONFIGURE_DEPENDS bench/*.cpp)
  list(FILTER RL_BENCH_SOURCES EXCLUDE REGEX ".*/MinimalTray\\.cpp$")
  if(RL_BENCH_SOURCES)
    add_executable(rl_bench ${RL_BENCH_SOURCES})
    target_link_libraries(rl_bench PRIVATE rl_platform benchmark::benchmark)
    rl_strict(rl_bench)
  endif()
endif()

# The program itself, its installation, and what tests and benchmarks it.
include(cmake/LinuxProgram.cmake)
