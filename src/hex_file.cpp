#include "hex_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"

namespace {

const char scratchTemplate[] = "/tmp/hexpush-XXXXXX";

ssize_t readRetrying(int fd, char *space, size_t count) {
    ssize_t got;
    do got = read(fd, space, count);
    while (got < 0 && errno == EINTR);
    return got;
}

bool writeAll(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        ssize_t put = write(fd, bytes, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        count -= put;
    }
    return true;
}

[[noreturn]] void stopOnScratch() {
    char reason[256];
    snprintf(reason, sizeof reason, "cannot keep a copy in /tmp: %s", strerror(errno));
    stopWith(hexFileName, reason);
}

// Returns a descriptor of an unlinked copy of everything the input holds.
int takeWhole(int input) {
    char path[sizeof scratchTemplate];
    memcpy(path, scratchTemplate, sizeof path);
    int copy = mkstemp(path);
    if (copy < 0) stopOnScratch();
    unlink(path);
    char chunk[65536];
    long long taken = 0;
    ssize_t got;
    while ((got = readRetrying(input, chunk, sizeof chunk)) > 0) {
        taken += got;
        if (taken > hexFileLimit) {
            char reason[64];
            snprintf(reason, sizeof reason, "more than %lld bytes", hexFileLimit);
            stopWith(hexFileName, reason);
        }
        if (!writeAll(copy, chunk, got)) stopOnScratch();
    }
    if (got < 0) stopWithErrno(hexFileName);
    if (lseek(copy, 0, SEEK_SET) != 0) stopOnScratch();
    return copy;
}

}  // namespace

void openHexFile(const char *path) {
    hexFileName = path;
    fileHandle = open(path, O_RDONLY | O_NOCTTY);
    if (fileHandle < 0) stopWithErrno(path);
    struct stat fileStatus;
    if (fstat(fileHandle, &fileStatus) != 0) stopWithErrno(path);
    if (S_ISDIR(fileStatus.st_mode)) stopWith(path, strerror(EISDIR));
    if (S_ISREG(fileStatus.st_mode)) return;
    int copy = takeWhole(fileHandle);
    close(fileHandle);
    fileHandle = copy;
}
