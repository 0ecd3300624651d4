// Points one of the test program's import slots (__imp_Name) at a recording
// stand-in, so a test sees every call the code under test makes to that
// platform function. Returns the original, which the stand-in calls on.
#pragma once

#include <windows.h>

// Declares the import slot of a platform function under the name the linker
// gives it: __imp_Name on 64-bit, __imp__Name@ArgumentBytes for 32-bit
// stdcall functions. Use: extern "C" Type (WINAPI* slot)(...) IMPORT_SLOT(Name, 16);
#if defined(_WIN64)
#define IMPORT_SLOT(name, argument_bytes) __asm__("__imp_" #name)
#else
#define IMPORT_SLOT(name, argument_bytes) __asm__("__imp__" #name "@" #argument_bytes)
#endif

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
