#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.h"
#include "file_io.h"

int openInputFile(const char *path, bool &readOnce, long long &knownSize) {
    int file = open(path, O_RDONLY | O_NOCTTY);
    struct stat status;
    if (file < 0 || fstat(file, &status) != 0) stopWithSystemError(path);
    if (S_ISDIR(status.st_mode)) stopWith(path, strerror(EISDIR));
    readOnce = !S_ISREG(status.st_mode);
    knownSize = -1;
    return file;
}

long readFile(int file, void *space, long count) {
    ssize_t got;
    do got = read(file, space, count);
    while (got < 0 && errno == EINTR);
    return got;
}
