#include "record_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "hex_file.h"
#include "loader_dialog.h"
#include "serial_link.h"

namespace {

long linesSent = 0;
long linesInFile = 0;  // 0 when not known

// A fragment left without a line feed at the end of the file is worth
// sending unless it is only padding: white space or the old end-of-file mark.
bool isPaddingOnly(const unsigned char *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        unsigned char byte = bytes[i];
        bool padding = byte == ' ' || byte == '\t' || byte == '\r' || byte == '\v' ||
                       byte == '\f' || byte == 0x1a;
        if (!padding) return false;
    }
    return true;
}

[[noreturn]] void stopOnLine(long lineNumber, const char *what) {
    char reason[96];
    snprintf(reason, sizeof reason, "line %ld %s", lineNumber, what);
    stopWith(hexFileName, reason);
}

[[noreturn]] void stopOnOverlongLine(long lineNumber) {
    char what[48];
    snprintf(what, sizeof what, "is longer than %d bytes", loadBufferSize);
    stopOnLine(lineNumber, what);
}

int lineLengthAtFront() {
    const void *lineFeed = memchr(loadBuffer, '\n', bufferedCount);
    if (!lineFeed) return 0;
    return static_cast<int>(static_cast<const unsigned char *>(lineFeed) - loadBuffer) + 1;
}

void sendLineAtFront(int lineLength) {
    ++linesSent;
    if (writeCOM(loadBuffer, lineLength) < lineLength) {
        stopOnLostPort("The port does not take the line");
    }
    char verdict = readCOMwait();
    if (verdict != 'G') {
        sayByte(verdict);
        say("\nLoad failed\n");
        stopOnLine(linesSent, "rejected by the loader");
    }
    advanceProgress(linesSent, lineLength);
    bufferedCount -= lineLength;
    memmove(loadBuffer, loadBuffer + lineLength, bufferedCount);
}

// At the end of the file: what is left has no line feed.
void finishLastFragment() {
    if (isPaddingOnly(loadBuffer, bufferedCount)) {
        bufferedCount = 0;
        return;
    }
    if (bufferedCount == loadBufferSize) stopOnOverlongLine(linesSent + 1);
    loadBuffer[bufferedCount++] = '\n';
    sendLineAtFront(bufferedCount);
}

// Number of the first line that cannot fit the work buffer with its line
// feed (or the one to be added), or 0 when every line fits.
long findOverlongLine() {
    off_t offset = 0;
    long lineNumber = 1;
    long lineLength = 0;  // bytes of the current line, its line feed included
    ssize_t got;
    while ((got = pread(fileHandle, loadBuffer, loadBufferSize, offset)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (++lineLength > loadBufferSize) return lineNumber;
            if (loadBuffer[i] == '\n') {
                ++lineNumber;
                lineLength = 0;
            }
        }
        offset += got;
    }
    if (got < 0) stopWithErrno(hexFileName);
    // A last line without a line feed gets one added when it is sent.
    if (lineLength + 1 > loadBufferSize) return lineNumber;
    linesInFile = lineLength > 0 ? lineNumber : lineNumber - 1;
    return 0;
}

}  // namespace

void checkLinesFit() {
    long overlongLine = findOverlongLine();
    if (overlongLine > 0) stopOnOverlongLine(overlongLine);
}

void streamRecords() {
    struct stat fileStatus;
    bool sized = fstat(fileHandle, &fileStatus) == 0 && S_ISREG(fileStatus.st_mode);
    startProgress(linesInFile, sized ? fileStatus.st_size : 0);
    bufferedCount = 0;
    linesSent = 0;
    bool moreInput = true;
    while (moreInput) {
        ssize_t got = read(fileHandle, loadBuffer + bufferedCount, loadBufferSize - bufferedCount);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) stopWithErrno(hexFileName);
        bufferedCount += static_cast<int>(got);
        if (got == 0) {
            finishLastFragment();
            moreInput = false;
        }
        int lineLength;
        while ((lineLength = lineLengthAtFront()) > 0) sendLineAtFront(lineLength);
        if (bufferedCount == loadBufferSize) stopOnOverlongLine(linesSent + 1);
    }
    clearProgress();
}
