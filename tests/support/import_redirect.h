// Points one of the test program's import slots (__imp_Name) at a recording
// stand-in, so a test sees every call the code under test makes to that
// platform function. Returns the original, which the stand-in calls on.
#pragma once

#include <windows.h>

template <typename Function>
Function redirect_import(Function* slot, Function replacement)
{
    Function original = *slot;
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return original;
}
