# The Windows tests built as 32-bit programs, run in the sid chroot's Wine
# beside the shipped program: the product's toolchain with the -posix
# compilers, which GoogleTest needs (std::mutex).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(QB_WINE_TESTS ON)
