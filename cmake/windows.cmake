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

    file(GLOB KL_CORE_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/core/*.cpp)
    add_executable(core_tests ${KL_CORE_TEST_SOURCES})
    target_link_libraries(core_tests PRIVATE kl_core kl_json gtest gtest_main)
    target_compile_definitions(core_tests PRIVATE KL_TEST_DATA="Z:${PROJECT_SOURCE_DIR}/tests/data")
    add_test(NAME windows.core_tests COMMAND core_tests --gtest_brief=1)

    file(GLOB KL_APP_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/*.cpp)
    add_executable(app_tests ${KL_APP_TEST_SOURCES})
    target_link_libraries(app_tests PRIVATE kl_program gtest gtest_main ws2_32)
    add_dependencies(app_tests kestrelink)
    target_compile_definitions(app_tests PRIVATE
        KL_PROGRAM_PATH=L"Z:$<TARGET_FILE:kestrelink>"
        KL_TEST_OUTPUT=L"Z:${CMAKE_BINARY_DIR}/test-output")
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-output)
    add_test(NAME windows.app_tests COMMAND app_tests --gtest_brief=1)
    # The window, the banner and the remote view at 144 and 192 DPI, each in a prefix of its own.
    add_test(NAME windows.high_dpi COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/high_dpi.sh
                                           $<TARGET_FILE:app_tests>)

    set(KL_NATIVE_BUILD "${PROJECT_SOURCE_DIR}/build/native" CACHE PATH "The native preset's build folder")

    # The real main window driven with xdotool on the test display.
    add_test(NAME windows.gui_main_window COMMAND bash ${PROJECT_SOURCE_DIR}/tests/gui/main_window.sh $<TARGET_FILE:kestrelink>
                     ${CMAKE_BINARY_DIR}/test-output/gui-main-window)

    add_executable(klprobe tests/e2e/klprobe.cpp)
    add_executable(frame_check tests/screen/frame_check.cpp)
    target_link_libraries(frame_check PRIVATE kl_program)
    add_test(NAME windows.jpeg_files COMMAND bash ${PROJECT_SOURCE_DIR}/tests/screen/jpeg_files.sh windows $<TARGET_FILE:frame_check>)

    # Whole sessions: the real relay, the program under Wine and klpeer, screenshots kept.
    foreach(role host viewer)
        add_test(NAME windows.e2e_program_${role}
                 COMMAND bash ${PROJECT_SOURCE_DIR}/tests/e2e/program_${role}.sh $<TARGET_FILE:kestrelink>
                         ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/e2e-program-${role})
    endforeach()
    add_test(NAME windows.e2e_program_to_program
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/e2e/program_to_program.sh $<TARGET_FILE:kestrelink>
                     $<TARGET_FILE:klprobe> ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/e2e-program-to-program)
    # The program as host behind a 5 Mbit/s uplink (throttle_proxy of the native build): about a minute.
    add_test(NAME windows.e2e_program_host_slow_uplink
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/e2e/program_host_slow_uplink.sh $<TARGET_FILE:kestrelink>
                     ${KL_NATIVE_BUILD} ${CMAKE_BINARY_DIR}/test-output/e2e-program-host-slow-uplink)

    # The transport and the queues against the real relay and a misbehaving server, both native
    # programs of the native preset, started around the test binary.
    file(GLOB KL_NET_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/winnet/*.cpp)
    add_executable(net_tests ${KL_NET_TEST_SOURCES} ${PROJECT_SOURCE_DIR}/tests/windows/alloc_hooks.cpp)
    target_link_libraries(net_tests PRIVATE kl_program gtest gtest_main)
    target_compile_definitions(net_tests PRIVATE KL_TEST_PORT=${KL_TEST_PORT})
    target_include_directories(net_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/windows)
    add_test(NAME windows.net_tests
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/winnet/with-servers.sh ${KL_NATIVE_BUILD}
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:net_tests> --gtest_brief=1)

    # The release: two fresh clones build the same bytes, which register over wss:// under Wine.
    add_test(NAME windows.release_build
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release/release_build.sh ${KL_NATIVE_BUILD}
                     ${CMAKE_BINARY_DIR}/test-output/release-build)
    set_tests_properties(windows.release_build PROPERTIES TIMEOUT 1200 SKIP_RETURN_CODE 77)

    # A hang fails its own test instead of running into the CI limit.
    set_tests_properties(windows.core_tests windows.app_tests windows.high_dpi windows.gui_main_window windows.jpeg_files
                         windows.e2e_program_host windows.e2e_program_viewer windows.e2e_program_to_program
                         windows.e2e_program_host_slow_uplink
                         PROPERTIES TIMEOUT 300)
    set_tests_properties(windows.net_tests PROPERTIES TIMEOUT 600)
    get_property(kl_windows_tests DIRECTORY PROPERTY TESTS)
    set_tests_properties(${kl_windows_tests} PROPERTIES ENVIRONMENT "KL_TEST_PORT=${KL_TEST_PORT}")
endif()
