#include <windows.h>

#include <cctype>
#include <cstdio>

#include "system_error.h"

const char *lastSystemError() {
    static char text[256];
    DWORD error = GetLastError();
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    // The text comes with a line end of its own.
    while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1]))) --length;
    text[length] = '\0';
    if (length == 0) snprintf(text, sizeof text, "error %lu", error);
    return text;
}
