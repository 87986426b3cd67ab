#include <windows.h>

#include <cstdio>

#include "system_error.h"
#include "wide_text_windows.h"

const char *lastSystemError() {
    static wchar_t wide[512];
    static char text[2048];
    DWORD error = GetLastError();
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, wide, 512, nullptr);
    // The text comes with a line end of its own.
    while (length > 0 && iswspace(wide[length - 1])) --length;
    wide[length] = L'\0';
    if (length == 0 || !fromWide(wide, text, sizeof text))
        snprintf(text, sizeof text, "error %lu", error);
    return text;
}
