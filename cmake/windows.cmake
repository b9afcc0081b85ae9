# Windows: the program and its test binaries, cross-compiled with MinGW-w64 and run under Wine.
add_compile_definitions(UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
add_link_options(-static -static-libgcc -static-libstdc++)

# A test build talks to a relay on loopback at KL_TEST_PORT (the script server of the network
# tests takes the next port), so two build trees can run their tests side by side.
option(KL_TEST_BUILD "Compile in the loopback test relay instead of KL_RELAY_URL" OFF)
set(KL_TEST_PORT 47800 CACHE STRING "Loopback port of the test relay")
if(NOT KL_TEST_BUILD)
    # A release is the same bytes from any checkout folder at any time: no source or build
    # paths in the objects, no link time stamp, no build id, no symbols.
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
                        "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
    add_link_options(-s -Wl,--no-insert-timestamp -Wl,--build-id=none)
endif()

add_library(kl_core STATIC ${KL_CORE_SOURCES} crypto/provider_bcrypt.cpp net/url_cracker_winhttp.cpp)
target_include_directories(kl_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kl_core PUBLIC bcrypt winhttp kl_json)

set(KL_PROGRAM_SOURCES
    app/client.cpp
    app/preview.cpp
    ui/main_window.cpp
    ui/layout.cpp
    ui/paint.cpp
    ui/banner.cpp
    ui/keyboard.cpp
    ui/accessibility.cpp
    session/host_flow.cpp
    session/viewer_flow.cpp
    session/teardown.cpp
    session/net_events.cpp
    session/encrypted.cpp
    screen/remote_frame.cpp
    screen/frame_decoder.cpp
    input/inject.cpp
    input/forward.cpp
    screen/capture.cpp
    net/transport_winhttp.cpp
    net/workers.cpp
)
set(KL_WIN_LIBS kl_core winhttp ws2_32 gdiplus ole32 gdi32 user32 shell32 dwmapi comctl32)

# Everything but the entry point, so test binaries can drive the same code.
add_library(kl_program STATIC ${KL_PROGRAM_SOURCES})
target_link_libraries(kl_program PUBLIC ${KL_WIN_LIBS})
# Test builds stop at once when a UI-only function runs on another thread.
target_compile_definitions(kl_program PRIVATE $<$<BOOL:${KL_TEST_BUILD}>:KL_CHECK_UI_THREAD>)
if(KL_TEST_BUILD)
    set(KL_PROGRAM_RELAY_URL "ws://127.0.0.1:${KL_TEST_PORT}/ws")
else()
    set(KL_PROGRAM_RELAY_URL "${KL_RELAY_URL}")
endif()
# Only the transport sees it, so builds for another relay recompile one file.
set_source_files_properties(net/transport_winhttp.cpp PROPERTIES COMPILE_DEFINITIONS "KL_RELAY_URL=L\"${KL_PROGRAM_RELAY_URL}\"")

# Benchmark of the host's capture path (bench/screen_bench.sh runs it).
add_executable(capture_bench bench/capture_bench.cpp)
target_link_libraries(capture_bench PRIVATE kl_program)

configure_file(resources/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
add_executable(kestrelink WIN32 app/main.cpp resources/kestrelink.rc ${CMAKE_BINARY_DIR}/version.rc)
target_link_libraries(kestrelink PRIVATE kl_program)
target_link_options(kestrelink PRIVATE -municode)
# The same program with the frame-stage recorder, for bench/screen_bench.sh only.
add_executable(kestrelink_traced WIN32 EXCLUDE_FROM_ALL app/main.cpp bench/frame_trace.cpp resources/kestrelink.rc)
target_link_libraries(kestrelink_traced PRIVATE kl_program)
target_link_options(kestrelink_traced PRIVATE -municode)
set_source_files_properties(resources/kestrelink.rc PROPERTIES
    OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/resources/kestrelink.manifest;${PROJECT_SOURCE_DIR}/resources/kestrelink.ico")

if(BUILD_TESTING)
    # GoogleTest from Debian's sources, built with this toolchain.
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

    # Every Windows test runs on the display and Wine server of this build tree
    # (scripts/wine-session.sh): the fixture windows_session starts them before the first Windows
    # test CTest runs and stops them after the last, so `ctest -R NAME` needs nothing else.
    set(KL_SESSION bash ${PROJECT_SOURCE_DIR}/scripts/wine-session.sh)
    set(KL_IN_SESSION ${KL_SESSION} run ${CMAKE_BINARY_DIR})
    add_test(NAME windows.session_up COMMAND ${KL_SESSION} up ${CMAKE_BINARY_DIR})
    add_test(NAME windows.session_down COMMAND ${KL_SESSION} down ${CMAKE_BINARY_DIR})
    set_tests_properties(windows.session_up PROPERTIES FIXTURES_SETUP windows_session TIMEOUT 600)
    set_tests_properties(windows.session_down PROPERTIES FIXTURES_CLEANUP windows_session)

    set(KL_NATIVE_BUILD "${PROJECT_SOURCE_DIR}/build/native" CACHE PATH "The native preset's build folder")
    # The relay, the peer and the test servers come from the native build: without them the
    # tests that need them do not run, and this one says what to build.
    add_test(NAME windows.native_tools
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/native_tools.sh ${KL_NATIVE_BUILD}
                     kestrelink-relay klpeer ws_script_server throttle_proxy)
    set_tests_properties(windows.native_tools PROPERTIES FIXTURES_SETUP native_tools)

    file(GLOB KL_CORE_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/core/*.cpp)
    add_executable(core_tests ${KL_CORE_TEST_SOURCES})
    target_link_libraries(core_tests PRIVATE kl_core kl_json gtest gtest_main)
    target_compile_definitions(core_tests PRIVATE KL_TEST_DATA="Z:${PROJECT_SOURCE_DIR}/tests/data")
    add_test(NAME windows.core_tests COMMAND ${KL_IN_SESSION} wine $<TARGET_FILE:core_tests> --gtest_brief=1)

    file(GLOB KL_APP_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/*.cpp)
    add_executable(app_tests ${KL_APP_TEST_SOURCES})
    target_link_libraries(app_tests PRIVATE kl_program gtest gtest_main ws2_32 oleacc oleaut32)
    add_dependencies(app_tests kestrelink)
    target_compile_definitions(app_tests PRIVATE
        KL_PROGRAM_PATH=L"Z:$<TARGET_FILE:kestrelink>"
        KL_TEST_OUTPUT=L"Z:${CMAKE_BINARY_DIR}/test-output"
        KL_TEST_PORT=${KL_TEST_PORT})
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-output)
    add_test(NAME windows.app_tests COMMAND ${KL_IN_SESSION} wine $<TARGET_FILE:app_tests> --gtest_brief=1)
    # The window, the banner and the remote view at 144 and 192 DPI, each in a prefix of its own.
    add_test(NAME windows.high_dpi COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/windows/high_dpi.sh
                                           $<TARGET_FILE:app_tests>)

    # Where the GUI scripts find the buttons, the edits and the remote picture: printed by the
    # layout and paint code itself for a client size (tests/gui/lib.sh runs it).
    add_executable(kllayout tests/gui/kllayout.cpp)
    target_link_libraries(kllayout PRIVATE kl_program)

    # The real main window driven with xdotool on the test display.
    add_test(NAME windows.gui_main_window
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/gui/main_window.sh $<TARGET_FILE:kestrelink>
                     ${CMAKE_BINARY_DIR}/test-output/gui-main-window)

    # The keyboard alone (with the relay and klpeer), and high contrast in a prefix of its own.
    add_test(NAME windows.gui_keyboard
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/gui/keyboard.sh $<TARGET_FILE:kestrelink>
                     ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/gui-keyboard)
    add_test(NAME windows.gui_high_contrast
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/gui/high_contrast.sh $<TARGET_FILE:kestrelink>
                     ${CMAKE_BINARY_DIR}/test-output/gui-high-contrast)

    add_executable(klprobe tests/e2e/klprobe.cpp)
    add_executable(frame_check tests/screen/frame_check.cpp)
    target_link_libraries(frame_check PRIVATE kl_program)
    add_test(NAME windows.jpeg_files
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/screen/jpeg_files.sh windows $<TARGET_FILE:frame_check>)

    # Whole sessions: the real relay, the program under Wine and klpeer, screenshots kept.
    foreach(role host viewer)
        add_test(NAME windows.e2e_program_${role}
                 COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/e2e/program_${role}.sh $<TARGET_FILE:kestrelink>
                         ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/e2e-program-${role})
    endforeach()
    add_test(NAME windows.e2e_program_to_program
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/e2e/program_to_program.sh $<TARGET_FILE:kestrelink>
                     $<TARGET_FILE:klprobe> ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/e2e-program-to-program)
    # The program as host behind a 5 Mbit/s uplink (throttle_proxy of the native build): about a minute.
    add_test(NAME windows.e2e_program_host_slow_uplink
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/e2e/program_host_slow_uplink.sh $<TARGET_FILE:kestrelink>
                     ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/e2e-program-host-slow-uplink)

    # The transport and the queues against the real relay and a misbehaving server, both native
    # programs of the native preset, started around the test binary.
    file(GLOB KL_NET_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/winnet/*.cpp)
    add_executable(net_tests ${KL_NET_TEST_SOURCES} ${PROJECT_SOURCE_DIR}/tests/windows/alloc_hooks.cpp)
    target_link_libraries(net_tests PRIVATE kl_program gtest gtest_main)
    target_compile_definitions(net_tests PRIVATE KL_TEST_PORT=${KL_TEST_PORT})
    target_include_directories(net_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/windows)
    add_test(NAME windows.net_tests
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/winnet/with-servers.sh ${KL_NATIVE_BUILD}
                     wine $<TARGET_FILE:net_tests> --gtest_brief=1)

    # The release: two fresh clones build the same bytes, which register over wss:// under Wine.
    add_test(NAME windows.release_build
             COMMAND ${KL_IN_SESSION} bash ${PROJECT_SOURCE_DIR}/tests/release/release_build.sh ${KL_NATIVE_BUILD}
                     ${CMAKE_BINARY_DIR}/test-output/release-build)
    set_tests_properties(windows.release_build PROPERTIES TIMEOUT 1200 SKIP_RETURN_CODE 77)

    # A hang fails its own test instead of running into the CI limit.
    set(kl_session_tests windows.core_tests windows.app_tests windows.high_dpi windows.gui_main_window
                         windows.gui_keyboard windows.gui_high_contrast
                         windows.jpeg_files windows.e2e_program_host windows.e2e_program_viewer
                         windows.e2e_program_to_program windows.e2e_program_host_slow_uplink windows.net_tests
                         windows.release_build)
    set_tests_properties(windows.core_tests windows.app_tests windows.high_dpi windows.gui_main_window windows.jpeg_files
                         windows.gui_keyboard windows.gui_high_contrast
                         windows.e2e_program_host windows.e2e_program_viewer windows.e2e_program_to_program
                         windows.e2e_program_host_slow_uplink
                         PROPERTIES TIMEOUT 300)
    set_tests_properties(windows.net_tests PROPERTIES TIMEOUT 600)
    set_tests_properties(${kl_session_tests} PROPERTIES FIXTURES_REQUIRED windows_session
                         ENVIRONMENT "KL_TEST_PORT=${KL_TEST_PORT}")
    set_tests_properties(windows.e2e_program_host windows.e2e_program_viewer windows.e2e_program_to_program
                         windows.e2e_program_host_slow_uplink windows.net_tests windows.release_build
                         windows.gui_keyboard
                         PROPERTIES FIXTURES_REQUIRED "windows_session;native_tools")
    # The display, its clipboard and the test port are one per build tree: with `ctest -j`, the
    # tests that use them still run one at a time.
    set_tests_properties(windows.app_tests windows.gui_main_window windows.gui_keyboard windows.e2e_program_host windows.e2e_program_viewer
                         windows.e2e_program_to_program windows.e2e_program_host_slow_uplink windows.net_tests
                         windows.release_build PROPERTIES RESOURCE_LOCK windows_display)
endif()
