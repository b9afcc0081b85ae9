# Linux: the portable core on OpenSSL, native tests (plain and sanitised), fuzzers, benchmarks.
find_package(OpenSSL 3 REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
find_package(Threads REQUIRED)

set(KL_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)

function(kl_add_core name)
    add_library(${name} STATIC ${KL_CORE_SOURCES} crypto/provider_openssl.cpp net/url_cracker_native.cpp)
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC OpenSSL::Crypto Threads::Threads kl_json)
    target_compile_options(${name} PRIVATE ${ARGN})
    target_link_options(${name} PUBLIC ${ARGN})
endfunction()

kl_add_core(kl_core)
kl_add_core(kl_core_asan ${KL_SANITIZE})

file(GLOB KL_CORE_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/core/*.cpp)
set(KL_TEST_DATA "${PROJECT_SOURCE_DIR}/tests/data")

foreach(variant IN ITEMS core_tests core_tests_asan)
    add_executable(${variant} ${KL_CORE_TEST_SOURCES})
    string(REPLACE "core_tests" "kl_core" lib ${variant})
    target_link_libraries(${variant} PRIVATE ${lib} kl_json GTest::gtest GTest::gtest_main)
    target_compile_definitions(${variant} PRIVATE KL_TEST_DATA="${KL_TEST_DATA}")
    if(variant STREQUAL core_tests_asan)
        target_compile_options(${variant} PRIVATE ${KL_SANITIZE})
    endif()
    add_test(NAME native.${variant} COMMAND ${variant} --gtest_brief=1)
endforeach()

# Real files from different encoders through the frame check, sanitised.
add_executable(frame_check tests/screen/frame_check.cpp)
target_link_libraries(frame_check PRIVATE kl_core_asan)
target_compile_options(frame_check PRIVATE ${KL_SANITIZE})
add_test(NAME native.jpeg_files COMMAND bash ${PROJECT_SOURCE_DIR}/tests/screen/jpeg_files.sh native $<TARGET_FILE:frame_check>)

# libFuzzer targets need clang; each runs briefly from its seed corpus as a test.
set(KL_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs during the tests")
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    kl_add_core(kl_core_fuzz ${KL_SANITIZE} -fsanitize=fuzzer-no-link)
    file(GLOB KL_FUZZERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
    foreach(src IN LISTS KL_FUZZERS)
        get_filename_component(name ${src} NAME_WE)
        add_executable(${name} ${src})
        target_link_libraries(${name} PRIVATE kl_core_fuzz)
        target_compile_options(${name} PRIVATE ${KL_SANITIZE} -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        add_test(NAME fuzz.${name}
                 COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}>
                         -DSEEDS=${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}
                         -DWORK=${CMAKE_BINARY_DIR}/fuzz-work/${name}
                         -DSECONDS=${KL_FUZZ_SECONDS}
                         -P ${PROJECT_SOURCE_DIR}/cmake/run_fuzzer.cmake)
    endforeach()
else()
    message(WARNING "Fuzz targets need clang; configure the native preset with clang to build them")
endif()

if(benchmark_FOUND)
    add_executable(crypto_bench bench/crypto_bench.cpp)
    target_link_libraries(crypto_bench PRIVATE kl_core benchmark::benchmark)
endif()

# The relay: routing rules without I/O, and the Beast network layer on top of them.
find_package(Boost 1.81 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS SSL)
# A cluster of relays shares one Redis server through hiredis (Debian's libhiredis-dev).
find_library(HIREDIS_LIBRARY hiredis REQUIRED)
find_path(HIREDIS_INCLUDE_DIR hiredis/async.h REQUIRED)
add_library(kl_relay_core STATIC relay/core/router.cpp relay/core/options.cpp relay/core/metrics.cpp relay/cluster/cluster_wire.cpp relay/cluster/cluster_seal.cpp
            relay/cluster/redis_client.cpp relay/cluster/redis_tls.cpp relay/connection/ws_frame.cpp relay/cluster/resp_filter.cpp
            relay/connection/proxy_protocol.cpp)
target_include_directories(kl_relay_core PUBLIC ${HIREDIS_INCLUDE_DIR})
target_link_libraries(kl_relay_core PUBLIC kl_core Boost::headers OpenSSL::SSL ${HIREDIS_LIBRARY})
add_executable(kestrelink-relay relay/main.cpp relay/connection/server.cpp relay/connection/ws_session_plain.cpp relay/connection/ws_session_tls.cpp
               relay/connection/tls_stream.cpp relay/connection/socket_progress.cpp relay/cluster/cluster.cpp)
# The relay is built at the build type's optimisation (-O2, about 7 % more compile time than
# -O1 here); only Beast's debug information, which adds another third, is left out.
set_source_files_properties(relay/connection/server.cpp relay/connection/ws_session_plain.cpp relay/connection/ws_session_tls.cpp relay/cluster/cluster.cpp
                            relay/cluster/redis_tls.cpp PROPERTIES COMPILE_OPTIONS "-g0")
# The peer's Beast files stay at -O1 in the test build; the packaged peer (the relay-release
# preset) turns this off and builds them at -O2.
option(KL_QUICK_BEAST "Compile the Beast-heavy peer files at -O1 without debug information" ON)
target_link_libraries(kestrelink-relay PRIVATE kl_relay_core OpenSSL::SSL)
# The transport between relays alone: Redis pub/sub beside a direct link (bench/relay_load.sh link).
add_executable(cluster_link_bench bench/cluster_link_bench.cpp)
target_link_libraries(cluster_link_bench PRIVATE kl_relay_core Threads::Threads)
# The headless peer.
find_package(JPEG REQUIRED)
add_executable(klpeer peer/main.cpp peer/run.cpp peer/output.cpp peer/frames.cpp peer/ws_client.cpp
               peer/ws_client_plain.cpp peer/ws_client_tls.cpp peer/host_peer.cpp peer/viewer_peer.cpp peer/tools.cpp)
target_link_libraries(klpeer PRIVATE kl_core Boost::headers OpenSSL::SSL JPEG::JPEG)
if(KL_QUICK_BEAST)
    set_source_files_properties(peer/ws_client_plain.cpp peer/ws_client_tls.cpp peer/run.cpp peer/host_peer.cpp
                                peer/viewer_peer.cpp peer/tools.cpp PROPERTIES COMPILE_OPTIONS "-O1;-g0")
endif()

# The packaged programs and everything they link take Debian's hardening flags, as
# dpkg-buildpackage would give them (stack protector, _FORTIFY_SOURCE, format checks, relro,
# immediate binding), and are position independent. Only the hardening flags are taken:
# optimisation and debug information stay the build type's.
set(KL_HARDEN_COMPILE "")
set(KL_HARDEN_LINK "")
find_program(KL_DPKG_BUILDFLAGS dpkg-buildflags)
if(KL_DPKG_BUILDFLAGS)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                                ${KL_DPKG_BUILDFLAGS} --get ${kind}
                        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        foreach(flag IN LISTS flags)
            if(flag MATCHES "^-(fstack-protector|fstack-clash-protection|fcf-protection|D_FORTIFY_SOURCE|Wformat|Werror=format-security)")
                list(APPEND KL_HARDEN_COMPILE ${flag})
            elseif(flag MATCHES "^-Wl,-z,")
                list(APPEND KL_HARDEN_LINK ${flag})
            endif()
        endforeach()
    endforeach()
else()
    message(WARNING "dpkg-buildflags not found: the relay and klpeer are built without hardening flags")
endif()
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
foreach(target IN ITEMS kl_core kl_relay_core kestrelink-relay klpeer)
    target_compile_options(${target} PRIVATE ${KL_HARDEN_COMPILE})
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endforeach()
foreach(target IN ITEMS kestrelink-relay klpeer)
    target_link_options(${target} PRIVATE ${KL_HARDEN_LINK})
endforeach()

add_executable(peer_tests tests/peer/frames_test.cpp tests/peer/jpeg_encoder_test.cpp peer/frames.cpp)
target_link_libraries(peer_tests PRIVATE kl_core JPEG::JPEG GTest::gtest GTest::gtest_main)
add_test(NAME native.peer_tests COMMAND peer_tests --gtest_brief=1)

# The release script's check of the operator's relay URL, with the program's own policy.
add_executable(relay_url_check tools/relay_url_check.cpp)
target_link_libraries(relay_url_check PRIVATE kl_core)

# The relay's Debian package installed, run as its service would run it, and removed (root only).
add_test(NAME native.relay_package
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/relay_deb.sh ${CMAKE_BINARY_DIR}
                 ${CMAKE_BINARY_DIR}/test-output/relay-package)
set_tests_properties(native.relay_package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)

# A WebSocket server that misbehaves on request, for the program's transport tests under Wine.
add_executable(ws_script_server tests/servers/ws_script_server.cpp)
target_link_libraries(ws_script_server PRIVATE OpenSSL::Crypto Threads::Threads)

# Integration: the relay and klpeer as real processes on loopback.
# A TCP proxy that behaves like a slow link, for the flow-control tests and benchmark.
add_executable(throttle_proxy tests/servers/throttle_proxy.cpp)

add_executable(integration_tests tests/integration/relay_peer_test.cpp tests/integration/tls_test.cpp
                                 tests/integration/peer_key_test.cpp tests/integration/relay_abuse_test.cpp
                                 tests/integration/slow_link_test.cpp)
target_link_libraries(integration_tests PRIVATE kl_core kl_json OpenSSL::SSL GTest::gtest GTest::gtest_main)
target_compile_definitions(integration_tests PRIVATE KL_RELAY_PATH="$<TARGET_FILE:kestrelink-relay>"
                                                     KL_PEER_PATH="$<TARGET_FILE:klpeer>"
                                                     KL_PROXY_PATH="$<TARGET_FILE:throttle_proxy>")
add_dependencies(integration_tests kestrelink-relay klpeer throttle_proxy)
add_test(NAME native.integration_tests COMMAND integration_tests --gtest_brief=1 --gtest_filter=-SlowLink.*)
# Each slow-link case streams for 40 s: one CTest test each, so they run side by side.
foreach(case ViewerOnSlowDownlinkGetsFreshFramesAndStaysConnected HostOnSlowUplinkReplacesFramesAndStaysConnected
             ViewerThatStopsReadingIsDroppedByTimeAndOthersGoOn)
    add_test(NAME native.slow_link.${case} COMMAND integration_tests --gtest_brief=1 --gtest_filter=SlowLink.${case})
    set_tests_properties(native.slow_link.${case} PROPERTIES TIMEOUT 180)
endforeach()

# Relays sharing one Redis: each test starts its own redis-server on a free loopback port.
add_executable(cluster_tests tests/integration/cluster_test.cpp)
target_link_libraries(cluster_tests PRIVATE kl_relay_core kl_json GTest::gtest GTest::gtest_main)
target_compile_definitions(cluster_tests PRIVATE KL_RELAY_PATH="$<TARGET_FILE:kestrelink-relay>"
                                                 KL_PEER_PATH="$<TARGET_FILE:klpeer>")
add_dependencies(cluster_tests kestrelink-relay klpeer)
add_test(NAME native.cluster_tests COMMAND cluster_tests --gtest_brief=1)

file(GLOB KL_RELAY_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/relay/*.cpp)
add_executable(relay_tests ${KL_RELAY_TEST_SOURCES})
target_link_libraries(relay_tests PRIVATE kl_relay_core GTest::gtest GTest::gtest_main)
add_test(NAME native.relay_tests COMMAND relay_tests --gtest_brief=1)

# Every tracked C++ file as clang-format makes it with the tree's style (scripts/check-format.sh --fix).
add_test(NAME native.format COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-format.sh)
# The README and docs/ against the tree: relative links and the options they name.
add_test(NAME native.docs COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/check-docs.py ${CMAKE_BINARY_DIR})
