// SPDX-License-Identifier: MIT
//
// Stands in for netsh.exe under Wine, whose own keeps no firewall rules:
// appends the command line it was given to C:\netsh.log, so that the test
// sees exactly what the installer and uninstaller ran.
#include <stdio.h>
#include <windows.h>

int main(void)
{
    FILE *log = fopen("C:\\netsh.log", "a");
    if (!log)
        return 1;
    fprintf(log, "%s\n", GetCommandLineA());
    fclose(log);
    return 0;
}
