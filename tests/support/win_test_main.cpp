// GoogleTest entry for the Windows tests: the scripted servers need the
// socket library whatever the code under test does with it.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
