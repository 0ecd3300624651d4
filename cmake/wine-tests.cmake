# Windows tests, built with mingw and run by ctest under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR (tests/support/wine-run).
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(qb_test_support STATIC
    tests/support/message_box_hook.cpp
    tests/support/pop3_script_server.cpp
    tests/support/test_files.cpp)
target_include_directories(qb_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(qb_test_support PRIVATE -Wall -Wextra -Werror ${QB_CHARSET})
target_link_libraries(qb_test_support PUBLIC gtest ws2_32 qb_core)

function(qb_wine_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;FIXTURES;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE -Wall -Wextra -Werror ${QB_CHARSET})
    target_compile_definitions(${name} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX
        _WIN32_WINNT=0x0600 WINVER=0x0600)
    target_link_libraries(${name} PRIVATE ${T_LIBS} qb_test_support gtest)
    target_link_options(${name} PRIVATE -static)
    add_test(NAME ${name} COMMAND ${name})
    # Every wait in them is bounded: a fault that still hangs one costs
    # ninety seconds, not the suite's ten minutes.
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wineprefix TIMEOUT 90)
    if(T_FIXTURES)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
    endif()
endfunction()

qb_wine_test(settings_file_test
    SOURCES tests/settings/settings_file_test.cpp tests/support/win_test_main.cpp
    LIBS qb_win)
qb_wine_test(mail_check_test
    SOURCES tests/mailcheck/mail_check_test.cpp tests/support/recording_doubles.cpp
            tests/support/win_test_main.cpp
    LIBS qb_win)
# The name lookup that must fail runs where no resolver can be reached.
set_tests_properties(mail_check_test PROPERTIES
    ENVIRONMENT "GTEST_FILTER=-*Unresolvable*:SecureMailbox.*")
# TLS against Dovecot: the test CA trusted in the test prefix, and the name
# the certificates are for in a hosts file of the test's own (a private
# mount namespace: the machine's /etc/hosts is not touched).
add_test(NAME mail_check_tls_test
    COMMAND unshare -m sh -c "mount --bind \"$1\" /etc/hosts && shift && exec \"$@\""
            sh ${CMAKE_BINARY_DIR}/tls/hosts ${CMAKE_CROSSCOMPILING_EMULATOR}
            $<TARGET_FILE:mail_check_test> --gtest_filter=SecureMailbox.*)
set_tests_properties(mail_check_tls_test PROPERTIES RESOURCE_LOCK wineprefix TIMEOUT 300
    FIXTURES_REQUIRED tls)
add_test(NAME tls_start COMMAND ${PROJECT_SOURCE_DIR}/tests/support/tls-mailbox start
    ${CMAKE_BINARY_DIR}/tls)
add_test(NAME tls_stop COMMAND ${PROJECT_SOURCE_DIR}/tests/support/tls-mailbox stop
    ${CMAKE_BINARY_DIR}/tls)
# It trusts the test CA in the shared prefix.
set_tests_properties(tls_start PROPERTIES FIXTURES_SETUP tls RESOURCE_LOCK wineprefix)
set_tests_properties(tls_stop PROPERTIES FIXTURES_CLEANUP tls)
add_test(NAME mail_check_unresolvable_test
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --own-network $<TARGET_FILE:mail_check_test>
            --gtest_filter=*Unresolvable*)
set_tests_properties(mail_check_unresolvable_test PROPERTIES RESOURCE_LOCK wineprefix TIMEOUT 120)

# Signed in with OAuth2: the TLS fixture's Dovecot with the oauth2 passdb
# and its authorization server.
qb_wine_test(signin_check_test
    SOURCES tests/signin/signin_check_test.cpp tests/support/recording_doubles.cpp
            tests/support/win_test_main.cpp resources/quillbeam.rc
    LIBS qb_win
    FIXTURES tls)

qb_wine_test(dovecot_check_test
    SOURCES tests/mailcheck/dovecot_check_test.cpp tests/support/recording_doubles.cpp
            tests/support/win_test_main.cpp
    LIBS qb_win
    FIXTURES dovecot)

add_test(NAME dovecot_start COMMAND ${PROJECT_SOURCE_DIR}/tests/support/demo-mailbox start
    ${CMAKE_BINARY_DIR}/dovecot 127.0.0.9)
add_test(NAME dovecot_stop COMMAND ${PROJECT_SOURCE_DIR}/tests/support/demo-mailbox stop
    ${CMAKE_BINARY_DIR}/dovecot)
set_tests_properties(dovecot_start PROPERTIES FIXTURES_SETUP dovecot)
set_tests_properties(dovecot_stop PROPERTIES FIXTURES_CLEANUP dovecot)

# The main window with the real settings, check and dialogs, recording the
# tray and shell calls; the resources are linked in so the dialogs open.
qb_wine_test(main_window_test
    SOURCES tests/app/main_window_test.cpp tests/support/recording_doubles.cpp
            tests/support/win_test_main.cpp resources/quillbeam.rc
    LIBS qb_win psapi)
add_dependencies(main_window_test quillbeam)
# The fault matrix has a row whose name must not resolve: it runs where no
# resolver can be reached (Wine's sockets still live in its server, on loopback).
# One row checks over IMAP against the TLS Dovecot.
set_tests_properties(main_window_test PROPERTIES ENVIRONMENT "GTEST_FILTER=-*FaultMatrix*" FIXTURES_REQUIRED tls)
add_test(NAME fault_matrix_test
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --own-network $<TARGET_FILE:main_window_test>
            --gtest_filter=*FaultMatrix*)
set_tests_properties(fault_matrix_test PROPERTIES RESOURCE_LOCK wineprefix TIMEOUT 300)

# The real tray code, its two shell calls recorded.
qb_wine_test(tray_test
    SOURCES tests/tray/tray_test.cpp tests/support/win_test_main.cpp resources/quillbeam.rc
    LIBS qb_win)

# Reads the resources out of the built program itself.
qb_wine_test(resources_test
    SOURCES tests/resources/resources_test.cpp tests/support/win_test_main.cpp
    LIBS version)
add_dependencies(resources_test quillbeam)

# A GUI program, as a user's mailer is: Wine gives a console program a window
# of its own, which takes the foreground (and closes an open tray menu).
add_executable(record_mailer tests/support/record_mailer.cpp)
target_link_options(record_mailer PRIVATE -static -mwindows)

# The dialogs and the shell services for real, with the resources linked in.
qb_wine_test(dialogs_test
    SOURCES tests/dialogs/dialogs_test.cpp tests/support/win_test_main.cpp resources/quillbeam.rc
    LIBS qb_win
    FIXTURES tls)
add_dependencies(dialogs_test record_mailer)

add_executable(window_probe tests/support/window_probe.cpp)
target_compile_options(window_probe PRIVATE -Wall -Wextra -Werror ${QB_CHARSET})
target_link_options(window_probe PRIVATE -static)

# The real program waiting between checks costs no CPU, its push
# connection open (IMAP over TLS: the test CA is trusted in the prefix).
add_test(NAME idle_cpu COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/idle_cpu ${CMAKE_BINARY_DIR} imaps://127.0.0.21 20)
set_tests_properties(idle_cpu PROPERTIES RESOURCE_LOCK wineprefix TIMEOUT 180 FIXTURES_REQUIRED tls
    ENVIRONMENT QB_DOVECOT_LOG=${CMAKE_BINARY_DIR}/tls/127.0.0.21/dovecot.log)

# End to end: the real program under Wine and Xvfb, observed from outside.
# It restarts its Wine server and shoots its screen, so it has a prefix and
# a display of its own, and runs beside the tests above (ctest -j2).
add_test(NAME end_to_end COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/end_to_end ${CMAKE_BINARY_DIR})
set_tests_properties(end_to_end PROPERTIES TIMEOUT 900
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-e2e;DISPLAY=:94")

# The check latency benchmark of tools/bench, beside it in tools/.
add_executable(check_bench tools/check_bench.cpp tests/support/recording_doubles.cpp)
target_include_directories(check_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(check_bench PRIVATE -Wall -Wextra -Werror -O2 ${QB_CHARSET})
target_compile_definitions(check_bench PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)
# The DLLs loaded on first use as in the program: the start-up baseline
# loads only what a plain check needs.
target_link_libraries(check_bench PRIVATE ${QB_DELAY_LIBRARIES} qb_win qb_test_support secur32 crypt32)
add_dependencies(check_bench delay_libraries)
target_link_options(check_bench PRIVATE -static)
# The bench, a few checks a row against the test Dovecot and the scripted
# server: a row that no longer finishes, or a check that fails, fails here
# rather than in the hands of whoever next measures.
add_test(NAME bench_smoke COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:check_bench> 127.0.0.9 3)
set_tests_properties(bench_smoke PROPERTIES FIXTURES_REQUIRED dovecot TIMEOUT 120)

# The sign-in's browser: tests/support/test-browser, through Wine's browser setting.
set_tests_properties(signin_check_test dialogs_test PROPERTIES ENVIRONMENT
    "QB_TEST_BROWSER=${PROJECT_SOURCE_DIR}/tests/support/test-browser;QB_BROWSER_LOG=${CMAKE_BINARY_DIR}/browser.log")
