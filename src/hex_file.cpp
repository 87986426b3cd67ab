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

// Returns a scratch copy of everything the input holds.
int takeWhole(int input) {
    int copy = openScratchFile();
    if (copy < 0) stopOnScratch();
    static char chunk[65536];
    long long taken = 0;
    long got;
    while ((got = readFile(input, chunk, sizeof chunk)) > 0) {
        taken += got;
        if (taken > hexFileLimit) {
            char reason[64];
            snprintf(reason, sizeof reason, "more than %lld bytes", hexFileLimit);
            stopWith(hexFileName, reason);
        }
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
    fileHandle = openInputFile(path, readOnce);
    if (readOnce) fileHandle = takeWhole(fileHandle);
}
