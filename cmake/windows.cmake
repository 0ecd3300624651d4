# The Windows builds: the program, and on the 64-bit build the Wine tests.
enable_language(RC)

set(QB_WARNINGS -Wall -Wextra -Werror)
# Sources are UTF-8; string literals become code page 932 bytes.
set(QB_CHARSET -finput-charset=UTF-8 -fexec-charset=CP932)
# No -fdata-sections: mingw's linker script would put every zero-filled
# buffer, then in a section of its own, into the file's .data instead of .bss.
# No frame pointer: the 32-bit compiler keeps one in every function by
# default (1.5 KB of the program), and nothing here walks the stack.
set(QB_SMALL -Oz -ffunction-sections -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fomit-frame-pointer)

set(WIN_SOURCES
    app/app_state.cpp
    app/main_window.cpp
    settings/owner_only_file.cpp
    settings/settings_file.cpp
    signin/token_store.cpp
    signin/sign_in.cpp
    signin/browser_signin.cpp
    mailcheck/mail_check.cpp
    mailcheck/push_watch.cpp
    mailcheck/pop3_check.cpp
    mailcheck/imap_check.cpp
    mailcheck/exchange.cpp
    mailcheck/connection/support_line.cpp
    mailcheck/connection/mail_socket.cpp
    mailcheck/connection/connection.cpp
    mailcheck/connection/mail_channel.cpp
    mailcheck/connection/certificate_check.cpp
    mailcheck/connection/network_presence.cpp
    tray/tray.cpp
    dialogs/dialogs.cpp
    shell/shell.cpp)

function(qb_program_options target)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE ${QB_WARNINGS} ${QB_CHARSET} ${QB_SMALL})
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX
        _WIN32_WINNT=0x0600 WINVER=0x0600)
endfunction()

# The program's modules as libraries, so the tests link the code that ships.
add_library(qb_core STATIC ${CORE_SOURCES})
qb_program_options(qb_core)
add_library(qb_win STATIC ${WIN_SOURCES})
qb_program_options(qb_win)
set(QB_SYSTEM_LIBRARIES ws2_32 iphlpapi secur32 crypt32 winhttp bcrypt advapi32 shell32 ole32 uuid comdlg32 winmm gdi32)
target_link_libraries(qb_win PUBLIC qb_core ${QB_SYSTEM_LIBRARIES})

# The program itself is compiled from the same sources as one whole, with
# link-time optimisation (about 2 KB smaller than file by file), in every
# build: the 64-bit one that the Windows tests run is compiled as the 32-bit
# one that ships. Only the 32-bit one is linked with cmake/no-eh-frame.ld,
# so what that script leaves out is checked by the win32 test layer alone.
add_executable(quillbeam WIN32 app/winmain.cpp resources/quillbeam.rc ${CORE_SOURCES} ${WIN_SOURCES})
set_source_files_properties(resources/quillbeam.rc PROPERTIES
    OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/resources/quillbeam.manifest;${PROJECT_SOURCE_DIR}/resources/mainicon.ico;${PROJECT_SOURCE_DIR}/resources/mlckicon.ico;${PROJECT_SOURCE_DIR}/resources/newmail.wav")
qb_program_options(quillbeam)
# DLLs that only a later action needs (the file dialog, the Startup
# shortcut, the chime, TLS) are loaded at their first use, not at start:
# under Wine they cost a quarter of the start-up. Import libraries that load
# on first use, made from the functions the program calls (cmake/delay/).
set(QB_DELAY_LIBRARIES)
foreach(dll comdlg32 ole32 winmm secur32 crypt32 winhttp bcrypt)
    set(def ${PROJECT_SOURCE_DIR}/cmake/delay/${dll}.def)
    set(library ${CMAKE_BINARY_DIR}/delay/lib${dll}_delay.a)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(kill_at -k)   # stdcall names, exported undecorated
    else()
        # No stdcall decoration on 64-bit Windows.
        file(READ ${def} text)
        string(REGEX REPLACE "@[0-9]+" "" text "${text}")
        set(def ${CMAKE_BINARY_DIR}/delay/${dll}.def)
        file(WRITE ${def} "${text}")
        set(kill_at)
    endif()
    add_custom_command(OUTPUT ${library}
        COMMAND ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool ${kill_at} -d ${def} -y ${library} -D ${dll}.dll
        DEPENDS ${def})
    list(APPEND QB_DELAY_LIBRARIES ${library})
endforeach()
add_custom_target(delay_libraries DEPENDS ${QB_DELAY_LIBRARIES})
add_dependencies(quillbeam delay_libraries)
target_link_libraries(quillbeam PRIVATE ${QB_DELAY_LIBRARIES} ${QB_SYSTEM_LIBRARIES})
target_link_options(quillbeam PRIVATE -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
set_target_properties(quillbeam PROPERTIES OUTPUT_NAME quillbeam INTERPROCEDURAL_OPTIMIZATION ON)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(quillbeam PRIVATE -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/no-eh-frame.ld)
    set_property(TARGET quillbeam APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/no-eh-frame.ld)
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8 OR QB_WINE_TESTS)
    include(cmake/wine-tests.cmake)
endif()
