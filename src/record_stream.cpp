#include "record_stream.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "file_io.h"
#include "run_state.h"
#include "serial_link.h"

namespace {

// What the file holds: its size, its lines and a digest of its bytes.
struct FileMeasure {
    long long bytes = 0;
    long lines = 0;
    uint64_t digest = 14695981039346656037ULL;
};

FileMeasure measured;  // before the chip is woken
FileMeasure streamed;  // as read for the transfer, so far
long linesSent = 0;

// FNV-1a: cheap, and any edit of the file changes it.
void addBytes(FileMeasure &measure, const unsigned char *bytes, long count) {
    measure.bytes += count;
    for (long i = 0; i < count; ++i)
        measure.digest = (measure.digest ^ bytes[i]) * 1099511628211ULL;
}

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

[[noreturn]] void stopOnChange() { stopWith(hexFileName, "changed while loading"); }

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
    loadBuffer[bufferedCount++] = '\n';
    sendLineAtFront(bufferedCount);
}

// Reads the file through the work buffer. Returns the number of the first
// line that cannot fit the buffer with its line feed (or the one to be
// added), or 0 when every line fits.
long findOverlongLine() {
    long lineLength = 0;  // bytes of the current line, its line feed included
    long got;
    while ((got = readFile(fileHandle, loadBuffer, loadBufferSize)) > 0) {
        addBytes(measured, loadBuffer, got);
        for (long i = 0; i < got; ++i) {
            if (++lineLength > loadBufferSize) return measured.lines + 1;
            if (loadBuffer[i] == '\n') {
                ++measured.lines;
                lineLength = 0;
            }
        }
    }
    if (got < 0) stopWithSystemError(hexFileName);
    if (lineLength > 0) ++measured.lines;
    // A last line without a line feed gets one added when it is sent.
    if (lineLength + 1 > loadBufferSize) return measured.lines;
    return 0;
}

// Reads the next chunk behind the buffered bytes; returns its size, 0 at
// the end of the file.
long readChunk() {
    long got = readFile(fileHandle, loadBuffer + bufferedCount, loadBufferSize - bufferedCount);
    if (got < 0) stopWithSystemError(hexFileName);
    addBytes(streamed, loadBuffer + bufferedCount, got);
    if (streamed.bytes > measured.bytes) stopOnChange();
    bufferedCount += static_cast<int>(got);
    return got;
}

}  // namespace

void measureHexFile() {
    long overlongLine = findOverlongLine();
    if (overlongLine > 0) {
        char what[48];
        snprintf(what, sizeof what, "is longer than %d bytes", loadBufferSize);
        stopOnLine(overlongLine, what);
    }
    if (!rewindFile(fileHandle)) stopWithSystemError(hexFileName);
}

void streamRecords() {
    startProgress(measured.lines, measured.bytes);
    bufferedCount = 0;
    linesSent = 0;
    bool moreInput = true;
    while (moreInput) {
        if (readChunk() == 0) {
            if (streamed.bytes != measured.bytes || streamed.digest != measured.digest)
                stopOnChange();
            finishLastFragment();
            moreInput = false;
        }
        int lineLength;
        while ((lineLength = lineLengthAtFront()) > 0) sendLineAtFront(lineLength);
        // Every line fitted when the file was measured.
        if (bufferedCount == loadBufferSize) stopOnChange();
    }
    clearProgress();
}
