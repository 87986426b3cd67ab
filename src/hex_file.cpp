#include "hex_file.h"

#include <cstdio>

#include "console.h"
#include "file_io.h"
#include "run_state.h"
#include "system_error.h"

namespace {

[[noreturn]] void stopOnScratch() {
    char reason[256];
    snprintf(reason, sizeof reason, "cannot keep a copy in %s: %s", scratchFolder(),
             lastSystemError());
    stopWith(hexFileName, reason);
}

[[noreturn]] void stopOverLimit() {
    char reason[64];
    snprintf(reason, sizeof reason, "more than %lld bytes", hexFileLimit);
    stopWith(hexFileName, reason);
}

// Returns a scratch copy of everything the input holds.
int takeWhole(int input) {
    int copy = openScratchFile();
    if (copy < 0) stopOnScratch();
    static char chunk[65536];
    long long taken = 0;
    long got;
    while ((got = readFile(input, chunk, sizeof chunk)) > 0) {
        taken += got;
        if (taken > hexFileLimit) stopOverLimit();
        if (!writeFile(copy, chunk, got)) stopOnScratch();
    }
    if (got < 0) stopWithSystemError(hexFileName);
    if (!rewindFile(copy)) stopOnScratch();
    closeFile(input);
    return copy;
}

}  // namespace

void openHexFile(const char *path) {
    hexFileName = path;
    bool readOnce = false;
    long long knownSize = -1;
    fileHandle = openInputFile(path, readOnce, knownSize);
    // Input too large to take whole is refused before any of it is read.
    if (readOnce && knownSize > hexFileLimit) stopOverLimit();
    if (readOnce) fileHandle = takeWhole(fileHandle);
}
