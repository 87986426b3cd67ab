#include "wide_text_windows.h"

#include <windows.h>

bool toWide(const char *text, wchar_t *wide, int size) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) > 0;
}

bool fromWide(const wchar_t *wide, char *text, int size) {
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, size, nullptr, nullptr) > 0;
}

namespace {

bool startsWith(const wchar_t *text, const wchar_t *prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

bool isDeviceOrLongName(const wchar_t *name) {
    return startsWith(name, L"\\\\.\\") || startsWith(name, L"\\\\?\\");
}

// prefix, then text, into name.
bool join(const wchar_t *prefix, const wchar_t *text, wchar_t *name, int size) {
    if (wcslen(prefix) + wcslen(text) >= size_t(size)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    wcscpy(name, prefix);
    wcscat(name, text);
    return true;
}

}  // namespace

bool longPathName(const char *path, wchar_t *name, int size) {
    static wchar_t given[widePathSize];
    static wchar_t full[widePathSize];
    if (!toWide(path, given, widePathSize)) return false;
    if (isDeviceOrLongName(given)) return join(L"", given, name, size);
    DWORD length = GetFullPathNameW(given, widePathSize, full, nullptr);
    if (length == 0) return false;
    if (length >= DWORD(widePathSize)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // Reserved names (NUL, COM1) come back as devices.
    if (isDeviceOrLongName(full)) return join(L"", full, name, size);
    if (startsWith(full, L"\\\\")) return join(L"\\\\?\\UNC\\", full + 2, name, size);
    return join(L"\\\\?\\", full, name, size);
}
