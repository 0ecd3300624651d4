// A stand-in mailer: appends "<its own path>|<command line>|<current
// directory>" to mailer-record.txt in its current directory, then exits.
// Built as a GUI program (no console window), as a real mailer is.
#include <windows.h>

#include <stdio.h>

int main()
{
    char module[MAX_PATH];
    char directory[MAX_PATH];
    GetModuleFileNameA(nullptr, module, sizeof module);
    GetCurrentDirectoryA(sizeof directory, directory);
    FILE* record = fopen("mailer-record.txt", "ab");
    if (record == nullptr)
        return 1;
    fprintf(record, "%s|%s|%s\n", module, GetCommandLineA(), directory);
    fclose(record);
    return 0;
}
