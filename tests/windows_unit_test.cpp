// What the Windows build decides without a port to show it: run under Wine
// by the Wine tier. Prints each check that fails; the status is their count.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "serial_port_windows.h"

int main() {
    int failures = 0;
    auto check = [&](bool good, const char *what) {
        if (!good) printf("failed: %s\n", what);
        failures += !good;
    };
    const char *names[][2] = {{"COM1", "\\\\.\\COM1"},
                              {"com10", "\\\\.\\com10"},
                              {"COM256", "\\\\.\\COM256"},
                              {"COM257", "COM257"},
                              {"COM0", "COM0"},
                              {"COM01", "COM01"},
                              {"COM3x", "COM3x"},
                              {"\\\\.\\COM7", "\\\\.\\COM7"},
                              {"\\\\.\\CNCA0", "\\\\.\\CNCA0"},
                              {"NUL", "NUL"}};
    for (const auto &name : names) {
        char opened[MAX_PATH];
        systemPortName(name[0], opened, sizeof opened);
        check(strcmp(opened, name[1]) == 0, name[0]);
    }
    // Windows refuses a port that another program has open with these.
    check(isHeldElsewhere(ERROR_ACCESS_DENIED), "access denied is a port in use");
    check(isHeldElsewhere(ERROR_SHARING_VIOLATION), "sharing violation is a port in use");
    check(!isHeldElsewhere(ERROR_FILE_NOT_FOUND), "a missing port is not in use");
    return failures;
}
