// The HEX file a page was given, read in slices as the browser allows (a
// suspended wait, like the port's), and taken whole into memory before the
// chip is woken. Scratch files are in memory (scratch_file_posix.cpp).
#include <emscripten.h>
#include <unistd.h>

#include <cerrno>

#include "file_io.h"
#include "system_error_web.h"

namespace {

// Set apart from the descriptors of files in memory.
const int pageFile = 1 << 20;
long long pageFileOffset = 0;

EM_JS(double, pageFileSize, (), { return Module.hexpushFile.size; });

// Bytes read, or -1 with the browser's reason.
EM_ASYNC_JS(int, readPageFile, (double offset, unsigned char *space, int count, char *reason,
                                int reasonSize), {
    try {
        const slice = Module.hexpushFile.slice(offset, offset + count);
        const bytes = new Uint8Array(await slice.arrayBuffer());
        HEAPU8.set(bytes, space);
        return bytes.length;
    } catch (error) {
        stringToUTF8(error.message || String(error), reason, reasonSize);
        return -1;
    }
});

}  // namespace

int openInputFile(const char *, bool &readOnce, long long &knownSize) {
    readOnce = true;
    knownSize = static_cast<long long>(pageFileSize());
    return pageFile;
}

long readFile(int file, void *space, long count) {
    if (file != pageFile) {
        ssize_t got;
        do got = read(file, space, count);
        while (got < 0 && errno == EINTR);
        return got;
    }
    char reason[256];
    int got = readPageFile(static_cast<double>(pageFileOffset), static_cast<unsigned char *>(space),
                           static_cast<int>(count), reason, sizeof reason);
    if (got < 0) takeBrowserReason(reason);
    if (got > 0) pageFileOffset += got;
    return got;
}
