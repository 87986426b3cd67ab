// What the Windows build decides without a port to show it: run under Wine
// by the Wine tier. Prints each check that fails; the status is their count.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "file_io.h"
#include "serial_port_windows.h"
#include "wide_text_windows.h"

int main() {
    int failures = 0;
    auto check = [&](bool good, const char *what) {
        if (!good) printf("failed: %s\n", what);
        failures += !good;
    };
    // Numbered COM ports open through the device namespace, which the
    // numbers past 9 need; any other name is opened as it stands.
    auto opened = [](const char *name) {
        char path[MAX_PATH];
        systemPortName(name, path, sizeof path);
        return std::string(path);
    };
    for (const char *name : {"COM1", "com10", "COM256"})
        check(opened(name) == std::string("\\\\.\\") + name, name);
    for (const char *name :
         {"COM257", "COM0", "COM01", "COM3x", "\\\\.\\COM7", "\\\\.\\CNCA0", "NUL"})
        check(opened(name) == name, name);
    // Files open by their full \\?\ name, past the 260 characters of old,
    // which Wine allows anyway; names of devices and long names stand.
    auto longName = [](const char *path, int size = widePathSize) {
        static wchar_t name[widePathSize];
        return longPathName(path, name, size) ? std::wstring(name) : L"(failed)";
    };
    check(longName("Z:\\tmp\\app.hex") == L"\\\\?\\Z:\\tmp\\app.hex", "a full path");
    check(longName("Z:\\tmp\\..\\app.hex") == L"\\\\?\\Z:\\app.hex", "a path made full");
    check(longName("\\\\server\\share\\app.hex") == L"\\\\?\\UNC\\server\\share\\app.hex", "a share");
    for (const char *name : {"\\\\?\\Z:\\app.hex", "\\\\.\\COM7"})
        check(longName(name) == std::wstring(name, name + strlen(name)), name);
    // A name fills its buffer exactly, terminator included; one more is refused.
    const char *fits = "\\\\?\\Z:\\app.hex";
    check(longName(fits, int(strlen(fits)) + 1) != L"(failed)", "a name that fills the buffer");
    check(longName(fits, int(strlen(fits))) == L"(failed)", "a name one character over");
    // The Wine tier's scratch folder is named outside every ANSI code page:
    // messages name it whole, so its UTF-8 name leads back to the folder.
    wchar_t folder[MAX_PATH + 1], named[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    check(toWide(scratchFolder(), named, MAX_PATH + 1) && wcscmp(named, folder) == 0,
          "the scratch folder named whole");
    return failures;
}
