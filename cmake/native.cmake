# The native build: the portable core under AddressSanitizer and UBSan.
find_package(GTest REQUIRED)

set(QB_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(QB_NATIVE_FLAGS -Wall -Wextra -Werror -g -O1)

add_library(qb_core STATIC ${CORE_SOURCES})
target_include_directories(qb_core PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(qb_core PRIVATE ${QB_NATIVE_FLAGS} ${QB_SANITIZE}
    -finput-charset=UTF-8 -fexec-charset=CP932)
target_link_options(qb_core PUBLIC ${QB_SANITIZE})

add_executable(core_tests
    tests/settings/settings_core_test.cpp
    tests/mailcheck/pop3_reply_test.cpp
    tests/mailcheck/server_address_test.cpp
    tests/mailcheck/imap_reply_test.cpp
    tests/mailcheck/header_text_test.cpp
    tests/app/polling_test.cpp
    tests/tray/count_badge_test.cpp
    tests/settings/form_rules_test.cpp
    tests/signin/oauth_text_test.cpp)
target_compile_options(core_tests PRIVATE ${QB_NATIVE_FLAGS} ${QB_SANITIZE}
    -finput-charset=UTF-8 -fexec-charset=CP932)
target_link_libraries(core_tests PRIVATE qb_core GTest::gtest GTest::gtest_main)
add_test(NAME core_tests COMMAND core_tests)

# libFuzzer needs clang, while the core's Japanese literals need g++'s
# -fexec-charset; the fuzz targets are therefore built by clang directly.
# They link only code without Japanese literals.
find_program(CLANGXX clang++ REQUIRED)
set(FUZZ_FLAGS -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=all -Wall -Wextra -Werror -I${PROJECT_SOURCE_DIR})
set(FUZZ_TARGETS)
foreach(target settings_reader_fuzz reply_reader_fuzz server_address_fuzz imap_reply_fuzz header_text_fuzz
        json_reader_fuzz sasl_challenge_fuzz)
    set(sources ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp
        ${PROJECT_SOURCE_DIR}/settings/settings_core.cpp
        ${PROJECT_SOURCE_DIR}/settings/cp932_text.cpp
        ${PROJECT_SOURCE_DIR}/mailcheck/connection/reply_line.cpp
        ${PROJECT_SOURCE_DIR}/mailcheck/pop3_reply.cpp
        ${PROJECT_SOURCE_DIR}/mailcheck/imap_reply.cpp
        ${PROJECT_SOURCE_DIR}/mailcheck/header_text.cpp
        ${PROJECT_SOURCE_DIR}/mailcheck/server_address.cpp
        ${PROJECT_SOURCE_DIR}/signin/oauth_text.cpp)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fuzz/${target}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fuzz
        COMMAND ${CLANGXX} ${FUZZ_FLAGS} ${sources} -o ${CMAKE_BINARY_DIR}/fuzz/${target}
        DEPENDS ${sources} ${PROJECT_SOURCE_DIR}/settings/user_settings.h
                ${PROJECT_SOURCE_DIR}/settings/cp932_text.h
                ${PROJECT_SOURCE_DIR}/mailcheck/connection/reply_line.h
                ${PROJECT_SOURCE_DIR}/mailcheck/pop3_reply.h
                ${PROJECT_SOURCE_DIR}/mailcheck/imap_reply.h
                ${PROJECT_SOURCE_DIR}/mailcheck/header_text.h
                ${PROJECT_SOURCE_DIR}/mailcheck/server_address.h
                ${PROJECT_SOURCE_DIR}/signin/oauth_text.h
        COMMENT "Building fuzz target ${target}")
    list(APPEND FUZZ_TARGETS ${CMAKE_BINARY_DIR}/fuzz/${target})
endforeach()
add_custom_target(fuzzers ALL DEPENDS ${FUZZ_TARGETS})

# The check's floors: no loop of includes through mailcheck/.
add_test(NAME floors COMMAND python3 ${PROJECT_SOURCE_DIR}/tools/check-floors)
