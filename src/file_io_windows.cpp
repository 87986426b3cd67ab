#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "console.h"
#include "file_io.h"

namespace {

HANDLE handleOf(int file) { return reinterpret_cast<HANDLE>(_get_osfhandle(file)); }

int descriptorOf(HANDLE handle) {
    return _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
}

}  // namespace

int openInputFile(const char *path, bool &readOnce) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        stopWith(path, "Is a directory");
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) stopWithSystemError(path);
    readOnce = GetFileType(file) != FILE_TYPE_DISK;
    return descriptorOf(file);
}

int openScratchFile() {
    char path[MAX_PATH];
    if (GetTempFileNameA(scratchFolder(), "hxp", 0, path) == 0) return -1;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DeleteFileA(path);
        SetLastError(error);
        return -1;
    }
    return descriptorOf(file);
}

const char *scratchFolder() {
    static char folder[MAX_PATH];
    if (folder[0] == '\0' && GetTempPathA(sizeof folder, folder) == 0) strcpy(folder, ".");
    return folder;
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
