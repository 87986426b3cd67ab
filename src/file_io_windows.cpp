#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "console.h"
#include "file_io.h"
#include "wide_text_windows.h"

namespace {

// NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps a HANDLE as an integer
HANDLE handleOf(int file) { return reinterpret_cast<HANDLE>(_get_osfhandle(file)); }

int descriptorOf(HANDLE handle) {
    return _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
}

// Where scratch files are kept, as Windows gives it (TMP, TEMP, then the
// user's profile), and the same in UTF-8 for messages.
wchar_t scratchFolderWide[MAX_PATH + 1];
char scratchFolderText[4 * MAX_PATH];

}  // namespace

int openInputFile(const char *path, bool &readOnce, long long &) {
    static wchar_t name[widePathSize];
    if (!longPathName(path, name, widePathSize)) stopWithSystemError(path);
    DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        stopWith(path, "Is a directory");
    HANDLE file =
        CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) stopWithSystemError(path);
    readOnce = GetFileType(file) != FILE_TYPE_DISK;
    return descriptorOf(file);
}

int openScratchFile() {
    wchar_t path[MAX_PATH];
    scratchFolder();
    if (GetTempFileNameW(scratchFolderWide, L"hxp", 0, path) == 0) return -1;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DeleteFileW(path);
        SetLastError(error);
        return -1;
    }
    return descriptorOf(file);
}

const char *scratchFolder() {
    if (scratchFolderText[0] != '\0') return scratchFolderText;
    if (GetTempPathW(MAX_PATH + 1, scratchFolderWide) == 0) wcscpy(scratchFolderWide, L".");
    if (!fromWide(scratchFolderWide, scratchFolderText, sizeof scratchFolderText))
        strcpy(scratchFolderText, ".");
    return scratchFolderText;
}

long readFile(int file, void *space, long count) {
    DWORD got = 0;
    if (ReadFile(handleOf(file), space, static_cast<DWORD>(count), &got, nullptr))
        return static_cast<long>(got);
    // A pipe whose writer has finished ends this way.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool writeFile(int file, const void *bytes, long count) {
    DWORD put = 0;
    return WriteFile(handleOf(file), bytes, static_cast<DWORD>(count), &put, nullptr) &&
           put == static_cast<DWORD>(count);
}

bool rewindFile(int file) {
    return SetFilePointer(handleOf(file), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

void closeFile(int file) { _close(file); }
