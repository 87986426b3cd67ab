// Scratch files and the calls on them, where the system is POSIX (a web
// page's in-memory file system among them).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "file_io.h"

// Unlinked at once, so that no end of the run can leave it behind.
int openScratchFile() {
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/hexpush-XXXXXX", scratchFolder()) >= int(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int file = mkstemp(path);
    if (file >= 0) unlink(path);
    return file;
}

// Where the user keeps temporary files, as other tools take it.
const char *scratchFolder() {
    const char *folder = getenv("TMPDIR");
    return folder && folder[0] ? folder : "/tmp";
}

bool writeFile(int file, const void *bytes, long count) {
    const char *at = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t put = write(file, at, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        count -= put;
    }
    return true;
}

bool rewindFile(int file) { return lseek(file, 0, SEEK_SET) == 0; }

void closeFile(int file) { close(file); }
